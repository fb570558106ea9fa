#include "tests/modify_harness.h"

#include <algorithm>
#include <cassert>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <utility>

#include <gtest/gtest.h>

#include "container/little_endian.h"

namespace kevo_modify_test {

namespace {

const char* const kPrefix = "# INFO:";
const char* const kFileLevelIndent = " kevo header ";
const char* const kStreamIndent = "             ";
// The reader and the decoder both warn above this many streams.
constexpr int32_t kStreamLimit = 19;

__attribute__((format(printf, 1, 2))) std::string format(const char* pattern, ...)
{
    char buffer[1024];
    va_list args;
    va_start(args, pattern);
    const int length = std::vsnprintf(buffer, sizeof buffer, pattern, args);
    va_end(args);
    assert(length >= 0 && static_cast<size_t>(length) < sizeof buffer);
    // Built from the length, not the terminator: a fourcc may hold a NUL.
    return std::string(buffer, static_cast<size_t>(length));
}

uint32_t fourccValue(const std::string& id)
{
    assert(id.size() == 4);
    return kevo_getLE32(reinterpret_cast<const uint8_t*>(id.data()));
}

const char* kindName(const std::string& id)
{
    static const std::map<std::string, const char*> names = {
        {"pav ", "PAV"},    {"rok ", "ROK"},     {"gps ", "GPS"},   {"sgps", "SIRF_GPS"},
        {"wifi", "WIFI"},   {"ltln", "LATLON"},  {"ant8", "ANNOT"}, {"pav2", "PAV2"},
        {"mic ", "MIC"},    {"clck", "CLOCK"},   {"tag ", "TAG"},   {"cams", "CAMERA"},
        {"camf", "CAMERA FILES"},
    };
    const auto found = names.find(id);
    return found == names.end() ? "UNKNOWN (RAW)" : found->second;
}

uint16_t forcedPacketSize(const std::string& id, uint16_t asRead)
{
    if (id == "pav ") {
        return 74;
    }
    if (id == "ltln") {
        return 24;
    }
    if (id == "ant8") {
        return 5;
    }
    return asRead;
}

std::string atomValueText(const Atom& atom)
{
    const char* const missing = " BAD Data Section!\n";
    if (atom.type == 'c') {
        return atom.payload.empty() ? missing : format("%d\n", atom.payload[0]);
    }
    if (atom.type == 'i') {
        return atom.payload.size() < 4 ? missing
                                        : format("%d\n", kevo_getLE32Signed(atom.payload.data()));
    }
    return "unknown type\n";
}

std::string atomLine(const char* indent, size_t index, size_t count, const Atom& atom)
{
    const std::string& id = atom.id;
    return format("%s%smeta %3d/%3d: (ID = 0x%08X:'%c%c%c%c') type='%c' = ", kPrefix, indent,
                  static_cast<int>(index), static_cast<int>(count), fourccValue(id), id[0], id[1],
                  id[2], id[3], atom.type) +
           atomValueText(atom);
}

std::string streamLine(size_t index, const Stream& stream)
{
    const std::string& id = stream.id;
    return format("%s Stream %3d: Symbol ID=%3d (ID = 0x%08X:'%c%c%c%c') [%s]\n", kPrefix,
                  static_cast<int>(index), stream.symbolID, fourccValue(id), id[0], id[1], id[2],
                  id[3], kindName(id));
}

std::string streamLines(const Header& header, bool withAtoms)
{
    std::string out;
    for (size_t i = 0; i < header.streams.size(); ++i) {
        const Stream& stream = header.streams[i];
        out += streamLine(i, stream);
        if (!withAtoms) {
            continue;
        }
        for (size_t j = 0; j < stream.atoms.size(); ++j) {
            out += atomLine(kStreamIndent, j, stream.atoms.size(), stream.atoms[j]);
        }
    }
    return out;
}

std::string fileLevelLines(const Header& header)
{
    if (header.metas.empty()) {
        return "";
    }
    std::string out = format("%s KEVO File Meta Data:\n", kPrefix);
    for (size_t j = 0; j < header.metas.size(); ++j) {
        out += atomLine(kFileLevelIndent, j, header.metas.size(), header.metas[j]);
    }
    return out;
}

}  // namespace

Stream descriptor(const std::string& id, uint32_t streamParam, uint16_t packetSize,
                  uint16_t symbolID, std::vector<Atom> atoms)
{
    Stream stream;
    stream.id = id;
    stream.streamParam = streamParam;
    stream.packetSize = packetSize;
    stream.symbolID = symbolID;
    stream.atoms = std::move(atoms);
    return stream;
}

std::string streamInfo(int32_t streamID)
{
    return format("# INFO: Stream ID to be modified: %d\n", streamID);
}

std::string metaInfo(int32_t metaID)
{
    return format("# INFO: Meta ID to be modified:   %d\n", metaID);
}

std::string valueInfo(int32_t metaValue)
{
    return format("# INFO: Meta to be modified to:   %d\n", metaValue);
}

std::string optionInfo(int32_t streamID, int32_t metaID, int32_t metaValue)
{
    return streamInfo(streamID) + metaInfo(metaID) + valueInfo(metaValue);
}

std::string usageText()
{
    return "kevo-modify [-options]  <input file>\n"
           "   kevo-modify will change the metaValues in a KEVO header, the input file is used "
           "as the output\n"
           "   [-streamID N]\n"
           "       Specify the stream number (which start at 0) you want to change\n"
           "       If the stream number is not found an error will occur\n"
           "       Some older .kevo files write data atoms to the .kevo meta data\n"
           "       you can access this stream by using the ID -1\n"
           "   [-metaID N]\n"
           "       Meta ID we wish to change (IDs start at 0)\n"
           "       If the metaID number is not found an error will occur\n"
           "   [-metaValue N]\n"
           "       New value to be written to the metaID (currently only type 'i' is "
           "supported)\n";
}

std::string bannerLine()
{
    return "# INFO: Header values before changes:\n";
}

std::string openFailedLines(const std::string& path)
{
    return "ERROR: can't open file " + path + "\n" +
           "# kevo_packetReader: ERROR, unable to open kevo file: " + path + "\n";
}

std::string invalidHeaderLine()
{
    return "# kevo_packetReader: ERROR, kevo file does not contain a valid KEVO header\n";
}

std::string badReaderTail()
{
    return "# ERROR: kevo structure is a NULL pointer, invalid kevo file\n" + bannerLine() +
           "# kevo_packetReader: ERROR kevo file is bad, unable to proceed\n";
}

std::string readerLimitWarning(int32_t streamCount)
{
    return format("# kevo_packetReader: WARNING, kevo header contains more streams, %d, than "
                  "allowed, %d\n",
                  streamCount, kStreamLimit);
}

std::string streamLimitWarnings(int32_t streamCount)
{
    return readerLimitWarning(streamCount) +
           format("# WARNING: kevo header contains more streams, %d, than allowed, %d\n",
                  streamCount, kStreamLimit);
}

std::string dump(const Header& header, const std::string& path)
{
    const int32_t streamCount =
        header.declaredStreamCount.value_or(static_cast<int32_t>(header.streams.size()));
    std::string out = format("%s File: \"%s\"\n", kPrefix, path.c_str());
    out += format("%s KEVO File Contains %3d streams\n", kPrefix, streamCount);
    out += format("%s Symbol ID = auto-generated ID number used inside each data packet\n",
                  kPrefix);
    out += format("%s        ID = KEVO_STREAM ID for identifying stream types\n", kPrefix);
    out += format("%s\n", kPrefix);
    out += streamLines(header, false);
    out += format("%s\n", kPrefix);
    out += fileLevelLines(header);
    out += streamLines(header, true);
    return out;
}

Header withInt(Header header, int stream, int meta, int32_t value)
{
    std::vector<Atom>& atoms =
        stream == kFileLevel ? header.metas : header.streams.at(static_cast<size_t>(stream)).atoms;
    Bytes& payload = atoms.at(static_cast<size_t>(meta)).payload;
    assert(payload.size() >= 4);
    Bytes bytes;
    kevo_test::appendLE32(bytes, static_cast<uint32_t>(value));
    std::copy(bytes.begin(), bytes.end(), payload.begin());
    return header;
}

Header asWritten(Header header)
{
    for (Stream& stream : header.streams) {
        stream.packetSize = forcedPacketSize(stream.id, stream.packetSize);
    }
    if (header.declaredStreamCount && *header.declaredStreamCount < 0) {
        header.declaredStreamCount = 0;
    }
    return header;
}

std::vector<std::string> editArgs(int32_t streamID, int32_t metaID, int32_t metaValue,
                                  const std::string& path)
{
    return {"-streamID", std::to_string(streamID),  "-metaID", std::to_string(metaID),
            "-metaValue", std::to_string(metaValue), path};
}

RunResult runModify(const std::vector<std::string>& args)
{
    return kevo_test::runProgram(KEVO_MODIFY_PATH, args);
}

std::string successText(int32_t streamID, int32_t metaID, int32_t metaValue,
                        const Header& before, const std::string& path)
{
    return optionInfo(streamID, metaID, metaValue) + bannerLine() + dump(before, path) +
           dump(withInt(before, streamID, metaID, metaValue), path);
}

void expectRun(const RunResult& run, int status, const std::string& standardError)
{
    EXPECT_EQ(run.status, status);
    EXPECT_EQ(run.standardError, standardError);
    EXPECT_EQ(run.standardOutput, "");
}

}  // namespace kevo_modify_test
