#include "cli/standard_descriptors.h"
#include "tool/modify_command.h"

namespace {

constexpr int kExitFailure = -1;

}  // namespace

// Standard error stays unbuffered, as the C library starts it. Each message
// of the command is one formatted write of a whole line, and the header dump
// gathers its own lines and writes them in blocks of whole lines, so each
// reaches the file with one write call and nothing waits in a stdio buffer:
// a run that is stopped or aborts has printed whole lines only.
int main(int argc, char** argv)
{
    // Before anything is opened: a recording opened onto a closed standard
    // error would receive the dump.
    if (!kevo_openStandardDescriptors()) {
        return kExitFailure;
    }
    return kevo_modifyMain(argc, argv);
}
