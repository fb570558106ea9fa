#include <cstdio>

#include "tool/modify_command.h"

namespace {

// Standard error is unbuffered by default, so each formatted write of the
// header dump would be a system call of its own: four per atom over the two
// dumps, seconds of them for a header of a million atoms. Everything the
// command prints goes through this one stream, so buffering it changes no
// byte and no order of the output; `exit`, also the decoder's, flushes it.
char errorBuffer[64 * 1024];

}  // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stderr, errorBuffer, _IOFBF, sizeof errorBuffer);
    return kevo_modifyMain(argc, argv);
}
