#pragma once
// A run without a window or a display server (--headless), as a system service runs it: a
// QCoreApplication and the same links, record files and single-instance lock as the window,
// wired to standard error instead of widgets. Nothing here starts Qt Gui or Widgets.
//
// Messages (the texts the window's log shows for scans, opens, hang-ups, reopens and save
// failures) go to standard error, one line each, stamped with the local time in ISO 8601
// unless standard error is the journal (JOURNAL_STREAM names it), which stamps lines itself.
// With --echo every reading line also goes to standard output.
//
// Exit status: 0 after SIGTERM or SIGINT (the ports and their locks let go, the records on the
// disk); 1 when another copy runs or "Save all readings" has no writable data folder.
#include "app/CommandLine.h"

#include <QByteArray>
#include <QString>

namespace headless {

// Writes whole lines to one file descriptor, each with a time stamp unless the descriptor is
// the journal's stream.
class LineSink {
public:
    explicit LineSink(int fd);
    void line(const QString &text) const;
    bool stamped() const { return m_stamped; }

    // True when JOURNAL_STREAM ("device:inode") names the file open on `fd`.
    static bool isJournal(int fd);
    // Now, in local time with its offset, as ISO 8601 with milliseconds.
    static QString stamp();

private:
    int m_fd;
    bool m_stamped;
};

// Why the data folder cannot take records ("the data folder ... does not exist"), or empty.
QString dataFolderProblem(const QString &folder);

// The whole run; `argv0` is the program's name for Qt. Returns the exit status.
int run(char *argv0, const cli::Options &options);

} // namespace headless
