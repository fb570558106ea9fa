// `kevo-info`: a read-only view of KEVO headers, for people and for scripts.
//
//   kevo-info [--json] FILE...          each file's header: the dump that
//                                       kevo-modify prints, or one JSON array
//   kevo-info --locate [STREAM/]ATOM FILE
//                                       "-streamID S -metaID M", the numbers
//                                       kevo-modify takes for that atom
//
// Files are opened for reading only; nothing is ever created, truncated or
// removed. The product goes to standard output, complaints to standard error.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "cli/kevo_cli.h"
#include "container/kevo_container.h"

// Writes the --json document as the headers come: "[", each header's object
// as it is added, "]". Fields come in a fixed order. Offsets and headerBytes
// are the ones the reader recorded; fourccs and types, paths and 's' text as
// the JSON writer gives them (kevo_jsonWriter). No more than one block of
// the text is held at a time, so memory grows with neither the atoms nor the
// headers. Write errors are left on the stream's error flag for the caller.
class kevo_jsonListing {
public:
    explicit kevo_jsonListing(FILE* out);
    kevo_jsonListing(const kevo_jsonListing&) = delete;
    kevo_jsonListing& operator=(const kevo_jsonListing&) = delete;

    // Writes the header's object; all of it has gone to the stream on return.
    void add(const kevo_file& record);

    // Closes the array, "[]" when nothing was added, and ends the line.
    void finish();

private:
    kevo_jsonWriter json_;
};

// Runs the command and returns its exit status: 0 when every file was read
// (and the atom to locate was found once); 1 when a file could not be opened
// or holds no valid header, the atom is missing or ambiguous, or standard
// output could not be written; 2 on a usage error.
int kevo_infoMain(int argc, char** argv);
