// `kevo-modify`: changes one integer meta value in a KEVO header, in place.
//
// Reads and validates the header, prints it, replaces the four payload bytes
// of the chosen 'i' atom, writes the bytes that changed over the header in
// the same file, syncs them to disk, and prints the header as it now stands.
// The packet data after the header is never read or written. The file is
// opened once, and both reads and the write go through that one open file,
// locked for the whole run so that edits of one file wait for each other.
// Every refusal happens before anything is written, so a refused run leaves
// the file as it was.
#pragma once

// Runs the command and returns its exit status: 1 on success, -1 on a usage
// error or a refused edit, -3 on an unrecognised option. Fatal conditions in
// the decoder end the process from there. Standard error is flushed at each
// step boundary and before returning.
int kevo_modifyMain(int argc, char** argv);
