// Micro-benchmarks of what kevo-modify does with a header: read it, write it
// back, print it, and set the sensor decoder up over it. The headers are the
// sample recording's, at the atom counts of the whole-program series, so the
// figures line up with bench/run's table.
//
// Reading and writing go through in-memory streams, which leaves out the
// file system; the dump writes to /dev/null through standard error,
// unbuffered as kevo-modify's is, and once more, for a 1,000-atom header,
// into a stream that keeps nothing, which leaves only the formatting. A
// temporary file for the dump's reader is made in $TMPDIR (or /tmp) and
// removed again.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include "cli/standard_descriptors.h"
#include "container/kevo_container.h"
#include "decoder/kevo_decoder.h"
#include "reader/kevo_reader.h"
#include "sample/sample_recording.h"

namespace {

using Bytes = std::vector<uint8_t>;

void atomCounts(benchmark::internal::Benchmark* benchmark)
{
    for (int64_t atoms : {10, 1000, 100000, 1000000}) {
        benchmark->Arg(atoms);
    }
    benchmark->Unit(benchmark::kMicrosecond);
}

// The sample header of `atoms` atoms, as kevo_writeHeader puts it in a file.
Bytes encodedSampleHeader(int32_t atoms)
{
    kevo_file record{};
    char* buffer = nullptr;
    size_t size = 0;
    FILE* stream = open_memstream(&buffer, &size);
    if (!stream || !kevo_buildSampleHeaderOf(&record, atoms)) {
        std::fprintf(stderr, "header_bench: cannot build a header of %d atoms\n", atoms);
        std::exit(1);
    }
    kevo_writeHeader(stream, &record);
    std::fclose(stream);
    const Bytes bytes(buffer, buffer + size);
    std::free(buffer);
    return bytes;
}

void reportThroughput(benchmark::State& state, size_t headerBytes, int64_t atoms)
{
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(headerBytes));
    state.SetItemsProcessed(state.iterations() * atoms);
    state.counters["header_bytes"] = static_cast<double>(headerBytes);
}

void BM_ReadHeader(benchmark::State& state)
{
    const int32_t atoms = static_cast<int32_t>(state.range(0));
    Bytes header = encodedSampleHeader(atoms);
    for (auto _ : state) {
        kevo_file record{};
        record.file = fmemopen(header.data(), header.size(), "r");
        if (!kevo_readHeader(&record)) {
            state.SkipWithError("the sample header did not read back");
            break;
        }
        kevo_close(&record);
    }
    reportThroughput(state, header.size(), atoms);
}
BENCHMARK(BM_ReadHeader)->Apply(atomCounts);

void BM_WriteHeader(benchmark::State& state)
{
    const int32_t atoms = static_cast<int32_t>(state.range(0));
    kevo_file record{};
    kevo_buildSampleHeaderOf(&record, atoms);
    // Room for the terminating zero that a memory stream adds when flushed.
    Bytes target(encodedSampleHeader(atoms).size() + 1);
    FILE* stream = fmemopen(target.data(), target.size(), "w");
    for (auto _ : state) {
        std::rewind(stream);
        kevo_writeHeader(stream, &record);
        if (std::ferror(stream)) {
            state.SkipWithError("the header did not fit its buffer");
            break;
        }
    }
    std::fclose(stream);
    reportThroughput(state, target.size() - 1, atoms);
}
BENCHMARK(BM_WriteHeader)->Apply(atomCounts);

// The decoder's set-up and teardown: two board lookups over the atoms, 25
// channel buffers with their repair buffers, the GPS capture buffer.
void BM_DecoderSetUp(benchmark::State& state)
{
    const int32_t atoms = static_cast<int32_t>(state.range(0));
    kevo_file record{};
    kevo_buildSampleHeaderOf(&record, atoms);
    for (auto _ : state) {
        kevo_sensorDecoder* decoder = new kevo_sensorDecoder(&record);
        benchmark::DoNotOptimize(decoder);
        delete decoder;
    }
    state.SetItemsProcessed(state.iterations() * atoms);
}
BENCHMARK(BM_DecoderSetUp)->Apply(atomCounts);

// Standard error goes to /dev/null while the benchmark runs; whatever the
// dump left in the buffer is flushed there before it is put back.
class QuietStandardError {
public:
    QuietStandardError()
    {
        std::fflush(stderr);
        saved_ = dup(2);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        close(null);
    }

    ~QuietStandardError()
    {
        std::fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
    }

    QuietStandardError(const QuietStandardError&) = delete;
    QuietStandardError& operator=(const QuietStandardError&) = delete;

private:
    int saved_ = -1;
};

std::string temporaryPath()
{
    const char* folder = std::getenv("TMPDIR");
    std::string path = std::string(folder && *folder ? folder : "/tmp") + "/header_bench.XXXXXX";
    const int fd = mkstemp(&path[0]);
    if (fd < 0) {
        return "";
    }
    close(fd);
    return path;
}

bool writeWhole(const std::string& path, const Bytes& bytes)
{
    FILE* out = std::fopen(path.c_str(), "wb");
    if (!out) {
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    return std::fclose(out) == 0 && written;
}

// A reader holding the sample header of `atoms` atoms, read from a file
// that is removed again; null when the file cannot be written.
kevo_packetReader* sampleReader(int32_t atoms)
{
    const std::string path = temporaryPath();
    if (path.empty() || !writeWhole(path, encodedSampleHeader(atoms))) {
        return nullptr;
    }
    kevo_packetReader* reader = new kevo_packetReader(path.c_str());
    std::remove(path.c_str());
    return reader;
}

void BM_HeaderDump(benchmark::State& state)
{
    const int32_t atoms = static_cast<int32_t>(state.range(0));
    kevo_packetReader* reader = sampleReader(atoms);
    if (!reader) {
        state.SkipWithError("cannot write a temporary header file");
        return;
    }
    {
        QuietStandardError quiet;
        for (auto _ : state) {
            reader->printHeader(nullptr);
        }
    }
    delete reader;
    state.SetItemsProcessed(state.iterations() * atoms);
}
BENCHMARK(BM_HeaderDump)->Apply(atomCounts);

ssize_t countWrite(void* bytes, const char*, size_t size)
{
    *static_cast<int64_t*>(bytes) += static_cast<int64_t>(size);
    return static_cast<ssize_t>(size);
}

// The dump of a 1,000-atom header into a stream that counts its bytes and
// keeps nothing: the formatting and one call per block, without the kernel
// or a file system. MiB/s of text, and atoms/s.
void BM_HeaderDumpText(benchmark::State& state)
{
    const int32_t atoms = static_cast<int32_t>(state.range(0));
    kevo_packetReader* reader = sampleReader(atoms);
    if (!reader) {
        state.SkipWithError("cannot write a temporary header file");
        return;
    }
    int64_t bytes = 0;
    cookie_io_functions_t io{};
    io.write = countWrite;
    FILE* sink = fopencookie(&bytes, "w", io);
    std::setvbuf(sink, nullptr, _IONBF, 0);
    for (auto _ : state) {
        reader->printHeader(nullptr, sink);
    }
    std::fclose(sink);
    delete reader;
    state.SetBytesProcessed(bytes);
    state.SetItemsProcessed(state.iterations() * atoms);
}
BENCHMARK(BM_HeaderDumpText)->Arg(1000)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv)
{
    if (!kevo_openStandardDescriptors()) {
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
