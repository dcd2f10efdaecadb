#pragma once
// Publishing in the window: the publisher wired to the links, its messages in the log and its
// state in a status bar panel after the others.
#include "publish/Publisher.h"

#include <memory>

class frmMain;

std::unique_ptr<publish::Publisher> startPublishing(frmMain &window,
                                                    const publish::Settings &settings);
