#include <cstdio>
#include <cstdlib>
#include <exception>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "tool/modify_command.h"

namespace {

// Standard error is unbuffered by default, so each formatted write of the
// header dump would be a system call of its own: four per atom over the two
// dumps, seconds of them for a header of a million atoms. Everything the
// command prints goes through this one stream, so buffering it changes no
// byte and no order of the output; `exit`, also the decoder's, flushes it.
char errorBuffer[64 * 1024];

std::terminate_handler defaultTerminate = nullptr;

#if defined(__GLIBC__)
// Above this size glibc gives each allocation a mapping of its own. The
// decoder sets up 25 repair buffers of 1.6 MB that nothing writes to, and
// unmapping them one by one at its teardown took a third of a small edit.
// Taken from the heap instead, they are given back in one trim.
constexpr int kOwnMappingAbove = 4 * 1024 * 1024;
#endif

// `abort` flushes nothing, so without this an uncaught exception (an
// allocation failing in a standard container) would take every line printed
// so far with it. Unbuffering afterwards lets the default handler's own
// diagnosis through too; glibc flushes on the switch.
[[noreturn]] void flushThenTerminate()
{
    std::fflush(stderr);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
    if (defaultTerminate) {
        defaultTerminate();
    }
    std::abort();
}

}  // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stderr, errorBuffer, _IOFBF, sizeof errorBuffer);
#if defined(__GLIBC__)
    mallopt(M_MMAP_THRESHOLD, kOwnMappingAbove);
#endif
    defaultTerminate = std::set_terminate(flushThenTerminate);
    return kevo_modifyMain(argc, argv);
}
