#include "Pseudoterminal.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace pty {

int openMaster(bool nonBlocking, std::string *slavePath)
{
    const int master =
        ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | (nonBlocking ? O_NONBLOCK : 0));
    if (master < 0) return -1;
    char name[PATH_MAX];
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
        ::ptsname_r(master, name, sizeof name) != 0) {
        const int saved = errno;
        ::close(master);
        errno = saved;
        return -1;
    }
    *slavePath = name;
    return master;
}

int publishLink(const std::string &target, const std::string &linkPath)
{
    const std::string temp = linkPath + ".new." + std::to_string(::getpid());
    ::unlink(temp.c_str());
    if (::symlink(target.c_str(), temp.c_str()) != 0) return errno;
    if (::rename(temp.c_str(), linkPath.c_str()) != 0) {
        const int saved = errno;
        ::unlink(temp.c_str());
        return saved;
    }
    return 0;
}

} // namespace pty
