#pragma once

#include <csignal>
#include <sys/prctl.h>
#include <sys/resource.h>

namespace quorvane {

// A typed password sits in the process's memory while a check runs and while its answer is shown:
// no core file may hold it, and no other process of the user may read it by ptrace. libldap writes
// to sockets a server may already have closed, which must not end the program.
inline void guardProcessHoldingPasswords()
{
    const rlimit noCore { 0, 0 };
    setrlimit(RLIMIT_CORE, &noCore);
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    std::signal(SIGPIPE, SIG_IGN);
}

} // namespace quorvane
