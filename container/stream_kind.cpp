#include "container/kevo_container.h"

namespace {

const char* const kKindNames[KEVO_KIND_COUNT] = {
    "PAV",
    "ROK",
    "GPS",
    "SIRF_GPS",
    "WIFI",
    "LATLON",
    "ANNOT",
    "PAV2",
    "MIC",
    "CLOCK",
    "TAG",
    "IMU",
    "FEATURES",
    "AUDIO_VOICING_FEATURES",
    "POWER",
    "MAX_NUM_STREAMS",
    "UNKNOWN (RAW)",
    "CAMERA",
    "ROK POWER",
    "CAMERA FILES",
    "INVALID",
};

struct FourccKind {
    uint32_t fourcc;
    int32_t kind;
    uint32_t forcedPacketSize;  // 0: the size in the file stands
};

// Kinds 11 to 15, 18 and 20 have no fourcc: recordings never name them.
const FourccKind kFourccKinds[] = {
    {kevo_fourcc("pav "), KEVO_KIND_PAV, 74},
    {kevo_fourcc("rok "), KEVO_KIND_ROK, 0},
    {kevo_fourcc("gps "), KEVO_KIND_GPS, 0},
    {kevo_fourcc("sgps"), KEVO_KIND_SIRF_GPS, 0},
    {kevo_fourcc("wifi"), KEVO_KIND_WIFI, 0},
    {kevo_fourcc("ltln"), KEVO_KIND_LATLON, 24},
    {kevo_fourcc("ant8"), KEVO_KIND_ANNOT, 5},
    {kevo_fourcc("pav2"), KEVO_KIND_PAV2, 0},
    {kevo_fourcc("mic "), KEVO_KIND_MIC, 0},
    {kevo_fourcc("clck"), KEVO_KIND_CLOCK, 0},
    {kevo_fourcc("tag "), KEVO_KIND_TAG, 0},
    {kevo_fourcc("cams"), KEVO_KIND_CAMERA, 0},
    {kevo_fourcc("camf"), KEVO_KIND_CAMERA_FILES, 0},
};

const FourccKind* findFourcc(uint32_t fourcc)
{
    for (const FourccKind& entry : kFourccKinds) {
        if (entry.fourcc == fourcc) {
            return &entry;
        }
    }
    return nullptr;
}

}  // namespace

const char* kevo_streamKindName(int32_t kind)
{
    if (kind < 0 || kind >= KEVO_KIND_COUNT) {
        return kKindNames[KEVO_KIND_INVALID];
    }
    return kKindNames[kind];
}

int32_t kevo_streamKindOf(uint32_t fourcc)
{
    const FourccKind* entry = findFourcc(fourcc);
    return entry ? entry->kind : KEVO_KIND_UNKNOWN_RAW;
}

uint32_t kevo_packetSizeOf(uint32_t fourcc, uint32_t sizeAsRead)
{
    const FourccKind* entry = findFourcc(fourcc);
    return (entry && entry->forcedPacketSize != 0) ? entry->forcedPacketSize : sizeAsRead;
}
