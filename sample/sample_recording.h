// A sample recording: a KEVO container whose header looks like one a real
// device writes (file-level atoms, both sensor boards, a microphone, GPS
// receivers, a camera and a few smaller streams), followed by deterministic
// pseudo-random packet bytes. It gives the tools something realistic to work
// on without a recording from a device.
//
// Layout of the header it writes (stream number: fourcc, symbol ID):
//
//   file level: 'strt' i  'devi' i  'frmt' c
//   0: 'pav2' 1   'intr' 'mic ' 'acc ' ... 'wd04', all i
//   1: 'mic ' 2   'mics' i  'chan' i  'bits' i
//   2: 'rok ' 3   'intr' 'gyro' 'mag ' 'powr' ... 'wd04', all i
//   3: 'sgps' 4   'baud' i
//   4: 'cams' 5   'fps ' i  'wdth' i  'hght' i  'qual' c
//   5: 'clck' 6   'tick' i
//   6: 'tag ' 7   no atoms
//   7: 'ltln' 8   'datm' s (text, an opaque type)  'fix ' i
//   8: 'gps ' 9   'baud' i  'rate' i
//
// Stream 0, meta 1 is the PAV2 board's microphone rate, an 'i' atom: the
// natural target for an edit.
//
// Those are 45 atoms. A header of another atom count keeps the streams and
// shares the atoms differently: fewer keeps the first ones in header order
// (file level first) and leaves the later lists short or empty; more appends
// 'i' atoms named 'x000', 'x001', ... (base 36) to the streams' lists in turn,
// behind their own atoms, so every atom above keeps its place and value and
// the board descriptors read the same.
#pragma once

#include <cstddef>
#include <cstdint>

#include "container/kevo_container.h"

constexpr long long KEVO_SAMPLE_DEFAULT_PACKET_BYTES = 64 * 1024;
// Large enough for any test, small enough that a typo cannot fill a disk.
constexpr long long KEVO_SAMPLE_MAX_PACKET_BYTES = 1024LL * 1024 * 1024;

constexpr int32_t KEVO_SAMPLE_DEFAULT_ATOMS = 45;
// The fewest that still reach stream 0, meta 1.
constexpr int32_t KEVO_SAMPLE_MIN_ATOMS = 5;
// About 52 MB of header: past any benchmark, short of exhausting memory.
constexpr int32_t KEVO_SAMPLE_MAX_ATOMS = 4000000;

struct kevo_sampleSummary {
    int32_t streamCount;
    int32_t atomCount;
    int64_t headerBytes;
    long long packetBytes;
};

// Fills the header part of a zeroed record with the sample header, placed
// by kevo_placeHeader as kevo_writeHeader writes it at the start of a file.
// Returns 0 when memory runs out; the record then holds a partial header
// that its destructor still frees.
int kevo_buildSampleHeader(kevo_file* record);

// The same with `atomCount` atoms in all, file level and streams together.
// Returns 0 for a count outside KEVO_SAMPLE_MIN_ATOMS to
// KEVO_SAMPLE_MAX_ATOMS, leaving the record untouched, or when memory runs
// out, as above.
int kevo_buildSampleHeaderOf(kevo_file* record, int32_t atomCount);

// Number of bytes kevo_writeHeader produces for a record built above:
// its headerBytes, as placed.
int64_t kevo_sampleHeaderBytes(const kevo_file* record);

// Fills `out` with the next `size` pseudo-random packet bytes. `state` is the
// generator's state; start it at KEVO_SAMPLE_PACKET_SEED for the bytes the
// sample recording holds.
constexpr uint32_t KEVO_SAMPLE_PACKET_SEED = 0x4B45564F;
void kevo_fillSamplePackets(uint8_t* out, size_t size, uint32_t* state);

// Whether kevo_writeSampleRecording may replace a file already at its path.
enum kevo_sampleOverwrite : int {
    KEVO_SAMPLE_KEEP_EXISTING = 0,
    KEVO_SAMPLE_OVERWRITE = 1,
};

// Writes the sample recording to `path` ("-", "stdout" or "/dev/stdout", any
// letter case, for standard output): the header of `atomCount` atoms, then
// `packetBytes` packet bytes. With KEVO_SAMPLE_KEEP_EXISTING the file is
// created only if nothing is at the path yet, in the one call that opens it.
// Returns 0 with errno EINVAL, before creating anything, for a count out of
// range; 0 with errno EEXIST, writing nothing, for a path that is taken and
// may not be replaced; otherwise 0 when the file cannot be opened or
// written, with errno saying why. Prints nothing. Fills `summary` on
// success.
int kevo_writeSampleRecording(const char* path, long long packetBytes, int32_t atomCount,
                              kevo_sampleOverwrite overwrite, kevo_sampleSummary* summary);
