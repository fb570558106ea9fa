#include "tests/support/kevo_bytes.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kevo_test {

void appendLE16(Bytes& out, uint16_t value)
{
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void appendLE32(Bytes& out, uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<uint8_t>((value >> shift) & 0xFF));
    }
}

void appendLE64(Bytes& out, uint64_t value)
{
    appendLE32(out, static_cast<uint32_t>(value & 0xFFFFFFFFu));
    appendLE32(out, static_cast<uint32_t>(value >> 32));
}

void appendText(Bytes& out, const std::string& text)
{
    out.insert(out.end(), text.begin(), text.end());
}

Atom intAtom(const std::string& id, int32_t value)
{
    Atom atom{id, 'i', {}, std::nullopt};
    appendLE32(atom.payload, static_cast<uint32_t>(value));
    return atom;
}

Atom byteAtom(const std::string& id, uint8_t value)
{
    return Atom{id, 'c', {value}, std::nullopt};
}

Atom rawAtom(const std::string& id, uint8_t type, Bytes payload)
{
    return Atom{id, type, std::move(payload), std::nullopt};
}

Bytes encodeAtom(const Atom& atom)
{
    Bytes out;
    appendText(out, atom.id);
    out.push_back(atom.type);
    appendLE32(out, static_cast<uint32_t>(atom.declaredLength.value_or(
                        static_cast<int32_t>(atom.payload.size()))));
    out.insert(out.end(), atom.payload.begin(), atom.payload.end());
    return out;
}

Bytes encode(const Header& header)
{
    Bytes out;
    appendText(out, header.magic);
    appendLE32(out, header.version);
    appendLE64(out, header.headerValue);
    appendLE32(out, static_cast<uint32_t>(header.declaredMetaCount.value_or(
                        static_cast<int32_t>(header.metas.size()))));
    for (const Atom& atom : header.metas) {
        out = concat(out, encodeAtom(atom));
    }
    appendLE32(out, static_cast<uint32_t>(header.declaredStreamCount.value_or(
                        static_cast<int32_t>(header.streams.size()))));
    for (const Stream& stream : header.streams) {
        appendText(out, stream.id);
        appendLE32(out, stream.streamParam);
        appendLE16(out, stream.packetSize);
        appendLE16(out, stream.symbolID);
        appendLE32(out, static_cast<uint32_t>(stream.declaredMetaCount.value_or(
                            static_cast<int32_t>(stream.atoms.size()))));
        for (const Atom& atom : stream.atoms) {
            out = concat(out, encodeAtom(atom));
        }
    }
    return out;
}

Bytes packetBytes(size_t size, uint32_t seed)
{
    Bytes out(size);
    uint32_t state = seed ? seed : 1;
    for (uint8_t& byte : out) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<uint8_t>(state);
    }
    return out;
}

Bytes concat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TempDir::TempDir()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/kevo-test-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        throw std::runtime_error("cannot create a temporary folder");
    }
    root_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

std::string TempDir::path(const std::string& name) const
{
    return root_ + "/" + name;
}

void writeFile(const std::string& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

Bytes readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

namespace {

// Drains both pipes together so that neither child stream can fill up and
// block the child.
void collect(int errFd, int outFd, RunResult& result)
{
    pollfd fds[2] = {{errFd, POLLIN, 0}, {outFd, POLLIN, 0}};
    std::string* sinks[2] = {&result.standardError, &result.standardOutput};
    int openCount = 2;
    char buffer[4096];
    while (openCount > 0) {
        if (poll(fds, 2, -1) < 0) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --openCount;
            }
        }
    }
}

}  // namespace

RunningProgram::RunningProgram(const std::string& program, const std::vector<std::string>& args,
                               const std::string& standardInput)
{
    // Close-on-exec, so that programs running side by side do not hold each
    // other's pipes open.
    int errPipe[2];
    int outPipe[2];
    if (pipe2(errPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("cannot create pipes");
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);

    pid_ = fork();
    if (pid_ == 0) {
        const int input = open(standardInput.c_str(), O_RDONLY);
        dup2(input, STDIN_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        dup2(outPipe[1], STDOUT_FILENO);
        // The program starts with its three standard descriptors and
        // nothing else of the test's, as a shell would start it; a test of
        // a descriptor limit counts on that.
        close_range(STDERR_FILENO + 1, ~0U, 0);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(errPipe[1]);
    close(outPipe[1]);
    errFd_ = errPipe[0];
    outFd_ = outPipe[0];
}

RunningProgram::~RunningProgram()
{
    if (pid_ > 0) {
        kill(SIGKILL);
        finish();
    }
}

bool RunningProgram::waitForErrorEnding(const std::string& text, int seconds)
{
    const auto endsWithText = [&] {
        return errorSoFar_.size() >= text.size() &&
               errorSoFar_.compare(errorSoFar_.size() - text.size(), text.size(), text) == 0;
    };
    char buffer[4096];
    for (int waited = 0; !endsWithText(); ++waited) {
        pollfd fd = {errFd_, POLLIN, 0};
        if (waited >= seconds * 10 || poll(&fd, 1, 100) < 0) {
            return false;
        }
        if (fd.revents == 0) {
            continue;
        }
        const ssize_t n = read(errFd_, buffer, sizeof buffer);
        if (n <= 0) {
            return false;
        }
        errorSoFar_.append(buffer, static_cast<size_t>(n));
    }
    return true;
}

void RunningProgram::kill(int signal)
{
    if (pid_ > 0) {
        ::kill(pid_, signal);
    }
}

RunResult RunningProgram::finish()
{
    RunResult result;
    if (pid_ <= 0) {
        return result;
    }
    collect(errFd_, outFd_, result);
    result.standardError.insert(0, errorSoFar_);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return result;
}

RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& standardInput)
{
    return RunningProgram(program, args, standardInput).finish();
}

}  // namespace kevo_test
