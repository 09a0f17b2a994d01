// Reads a soundfont with libinstpatch and lists every sample, instrument, preset and zone
// in the words of sf2_fixtures' .expected file; exits non-zero when the file does not load.
//
//   sf2_instpatch_dump FILE.sf2
#include <libinstpatch/libinstpatch.h>

#include <cstdio>
#include <string>
#include <vector>

#include "point_hash.h"

namespace {

using karvo::test::fnv1a;

constexpr guint GEN_INSTRUMENT = 41;
constexpr guint GEN_SAMPLE_ID = 53;
// 16-bit signed little-endian mono; the enumerations are of different types, hence ints.
constexpr int POINT_FORMAT = int(IPATCH_SAMPLE_16BIT) | int(IPATCH_SAMPLE_MONO) | int(IPATCH_SAMPLE_SIGNED) |
                             int(IPATCH_SAMPLE_LENDIAN);

std::string text(char* owned) {
    std::string s = owned ? owned : "";
    g_free(owned);
    return s;
}

// The linked item's name, set generators by number (not the link), then the modulators.
void printZone(const char* kind, const char* link, const IpatchSF2GenArray& gens, GSList* mods) {
    std::printf("  %s", kind);
    if (link) {
        std::printf(" link=\"%s\"", link);
    }
    for (guint g = 0; g < IPATCH_SF2_GEN_COUNT; ++g) {
        if (g != GEN_INSTRUMENT && g != GEN_SAMPLE_ID && IPATCH_SF2_GEN_ARRAY_TEST_FLAG(&gens, g)) {
            std::printf(" gen%u=%u", g, unsigned(gens.values[g].uword));
        }
    }
    for (GSList* m = mods; m; m = m->next) {
        const auto* mod = static_cast<const IpatchSF2Mod*>(m->data);
        std::printf(" mod(%u,%u,%d,%u,%u)", unsigned(mod->src), unsigned(mod->dest), int(mod->amount),
                    unsigned(mod->amtsrc), unsigned(mod->trans));
    }
    std::printf("\n");
}

bool printSample(IpatchSF2Sample* sample) {
    const guint frames = ipatch_sample_get_size(IPATCH_SAMPLE(sample), nullptr);
    std::vector<int16_t> points(frames);
    GError* err = nullptr;
    if (frames > 0 && !ipatch_sample_read_transform(IPATCH_SAMPLE(sample), 0, frames, points.data(),
                                                    POINT_FORMAT, IPATCH_SAMPLE_UNITY_CHANNEL_MAP, &err)) {
        std::fprintf(stderr, "sample %s: %s\n", sample->name, err ? err->message : "unreadable");
        return false;
    }
    std::printf("sample \"%s\" rate=%d root=%u correction=%d points=%u loop=%u-%u fnv=%u\n", sample->name,
                sample->rate, unsigned(sample->root_note), int(sample->fine_tune), frames,
                unsigned(sample->loop_start), unsigned(sample->loop_end), unsigned(fnv1a(points)));
    return true;
}

}   // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: sf2_instpatch_dump FILE.sf2\n");
        return 2;
    }
    ipatch_init();
    GError* err = nullptr;
    IpatchSF2File* file = ipatch_sf2_file_new();
    IpatchFileHandle* handle = ipatch_file_open(IPATCH_FILE(file), argv[1], "r", &err);
    IpatchSF2Reader* reader = handle ? ipatch_sf2_reader_new(handle) : nullptr;
    IpatchSF2* sf = reader ? ipatch_sf2_reader_load(reader, &err) : nullptr;
    if (!sf) {
        std::fprintf(stderr, "%s: %s\n", argv[1], err ? err->message : "not loaded");
        return 1;
    }
    std::printf("info version=%u.%u engine=%s name=\"%s\" comment=\"%s\" software=\"%s\"\n", sf->ver_major,
                sf->ver_minor, text(ipatch_sf2_get_info(sf, IPATCH_SF2_ENGINE)).c_str(),
                text(ipatch_sf2_get_info(sf, IPATCH_SF2_NAME)).c_str(),
                text(ipatch_sf2_get_info(sf, IPATCH_SF2_COMMENT)).c_str(),
                text(ipatch_sf2_get_info(sf, IPATCH_SF2_SOFTWARE)).c_str());

    bool ok = true;
    IpatchList* samples = ipatch_sf2_get_samples(sf);
    for (GList* p = samples->items; p; p = p->next) {
        ok = printSample(IPATCH_SF2_SAMPLE(p->data)) && ok;
    }
    IpatchList* insts = ipatch_sf2_get_insts(sf);
    for (GList* p = insts->items; p; p = p->next) {
        IpatchSF2Inst* inst = IPATCH_SF2_INST(p->data);
        std::printf("instrument \"%s\"\n", inst->name);
        if (inst->genarray.flags != 0 || inst->mods) {
            printZone("global", nullptr, inst->genarray, inst->mods);
        }
        for (GSList* z = inst->zones; z; z = z->next) {
            IpatchSF2Zone* zone = IPATCH_SF2_ZONE(z->data);
            IpatchSF2Sample* sample = zone->item ? IPATCH_SF2_SAMPLE(zone->item) : nullptr;
            printZone("zone", sample ? sample->name : "(none)", zone->genarray, zone->mods);
        }
    }
    IpatchList* presets = ipatch_sf2_get_presets(sf);
    for (GList* p = presets->items; p; p = p->next) {
        IpatchSF2Preset* preset = IPATCH_SF2_PRESET(p->data);
        std::printf("preset \"%s\" bank=%u program=%u\n", preset->name, unsigned(preset->bank),
                    unsigned(preset->program));
        if (preset->genarray.flags != 0 || preset->mods) {
            printZone("global", nullptr, preset->genarray, preset->mods);
        }
        for (GSList* z = preset->zones; z; z = z->next) {
            IpatchSF2Zone* zone = IPATCH_SF2_ZONE(z->data);
            IpatchSF2Inst* inst = zone->item ? IPATCH_SF2_INST(zone->item) : nullptr;
            printZone("zone", inst ? inst->name : "(none)", zone->genarray, zone->mods);
        }
    }
    g_object_unref(presets);
    g_object_unref(insts);
    g_object_unref(samples);
    g_object_unref(sf);
    g_object_unref(reader);
    g_object_unref(file);
    ipatch_close();
    return ok ? 0 : 1;
}
