// Test support: builds KEVO header bytes by hand, independently of the
// library's codec, so that tests compare the codec against the format and not
// against itself. Also temporary folders, file helpers and a runner for the
// built programs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kevo_test {

using Bytes = std::vector<uint8_t>;

void appendLE16(Bytes& out, uint16_t value);
void appendLE32(Bytes& out, uint32_t value);
void appendLE64(Bytes& out, uint64_t value);
void appendText(Bytes& out, const std::string& text);

struct Atom {
    std::string id;  // four characters
    uint8_t type = 'i';
    Bytes payload;
    std::optional<int32_t> declaredLength;  // a lie about the payload size
};

Atom intAtom(const std::string& id, int32_t value);
Atom byteAtom(const std::string& id, uint8_t value);
Atom rawAtom(const std::string& id, uint8_t type, Bytes payload);

struct Stream {
    std::string id;  // four characters
    uint32_t streamParam = 0;
    uint16_t packetSize = 0;
    uint16_t symbolID = 0;
    std::vector<Atom> atoms;
    std::optional<int32_t> declaredMetaCount;
};

struct Header {
    std::string magic = "KEVO";
    uint32_t version = 2;
    uint64_t headerValue = 0;
    std::vector<Atom> metas;
    std::optional<int32_t> declaredMetaCount;
    std::vector<Stream> streams;
    std::optional<int32_t> declaredStreamCount;
};

Bytes encodeAtom(const Atom& atom);
Bytes encode(const Header& header);

// Bytes that no header parser should take for anything: packet data.
Bytes packetBytes(size_t size, uint32_t seed = 1);

Bytes concat(Bytes a, const Bytes& b);

// A folder that is removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string path(const std::string& name) const;

private:
    std::string root_;
};

void writeFile(const std::string& path, const Bytes& bytes);
Bytes readFile(const std::string& path);

struct RunResult {
    int status = -1;  // exit status as a shell sees it, 0 to 255; -1 if killed
    int signal = 0;   // the signal that ended it, if one did
    std::string standardError;
    std::string standardOutput;
};

// A program started with the arguments and standard input read from
// `standardInput` (empty by default), left to run while the test goes on.
// Destroying it unfinished kills it.
class RunningProgram {
public:
    RunningProgram(const std::string& program, const std::vector<std::string>& args,
                   const std::string& standardInput = "/dev/null");
    ~RunningProgram();
    RunningProgram(const RunningProgram&) = delete;
    RunningProgram& operator=(const RunningProgram&) = delete;

    // Reads standard error until it ends with `text`; false if the program
    // closes it or `seconds` pass first.
    bool waitForErrorEnding(const std::string& text, int seconds);

    void kill(int signal);

    // Waits for the end and collects everything the program printed.
    RunResult finish();

private:
    int pid_ = -1;
    int errFd_ = -1;
    int outFd_ = -1;
    std::string errorSoFar_;
};

// Runs a program to its end, as RunningProgram starts it, and collects what
// it printed.
RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& standardInput = "/dev/null");

}  // namespace kevo_test
