// `kevo-modify`: changes one integer meta value in a KEVO header, in place.
//
// Reads and validates the header, prints it, replaces the four payload bytes
// of the chosen 'i' atom, writes the header back over the start of the same
// file, syncs it to disk, and prints the header as it now stands. The packet
// data after the header is never read or written. Every refusal happens
// before the file is opened for writing, so a refused run leaves the file as
// it was. Edits of one file are serialised by an exclusive advisory lock
// held for the whole run.
#pragma once

// Runs the command and returns its exit status: 1 on success, -1 on a usage
// error or a refused edit, -3 on an unrecognised option. Fatal conditions in
// the decoder end the process from there. Standard error is flushed at each
// step boundary and before returning.
int kevo_modifyMain(int argc, char** argv);
