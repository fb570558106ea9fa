#include "cli/standard_descriptors.h"
#include "tool/edit_command.h"

namespace {

constexpr int kExitFailed = 1;

}  // namespace

int main(int argc, char** argv)
{
    // Before anything is opened: a recording opened onto a closed standard
    // output would receive the report.
    if (!kevo_openStandardDescriptors()) {
        return kExitFailed;
    }
    return kevo_editMain(argc, argv);
}
