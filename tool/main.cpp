// Any C library header defines __GLIBC__ where the library is glibc.
#include <cstdlib>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "tool/modify_command.h"

namespace {

#if defined(__GLIBC__)
// Above this size glibc gives each allocation a mapping of its own. The
// decoder sets up 25 repair buffers of 1.6 MB that nothing writes to, and
// unmapping them one by one at its teardown took a third of a small edit.
constexpr int kOwnMappingAbove = 4 * 1024 * 1024;
// The heap grows and shrinks in steps of at least this much: the decoder's
// buffers then cost one brk call instead of 25, and the header the first
// reader freed is still mapped when the second reader reads it again, so
// its pages are not faulted in a second time.
constexpr int kHeapStep = 48 * 1024 * 1024;
#endif

}  // namespace

// Standard error stays unbuffered, as the C library starts it. Each message
// of the command is one formatted write of a whole line, and the header dump
// gathers its own lines and writes them in blocks of whole lines, so each
// reaches the file with one write call and nothing waits in a stdio buffer:
// a run that is stopped or aborts has printed whole lines only.
int main(int argc, char** argv)
{
#if defined(__GLIBC__)
    mallopt(M_MMAP_THRESHOLD, kOwnMappingAbove);
    mallopt(M_TOP_PAD, kHeapStep);
    mallopt(M_TRIM_THRESHOLD, kHeapStep);
#endif
    return kevo_modifyMain(argc, argv);
}
