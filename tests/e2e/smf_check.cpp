// Reads one MIDI file with libsmf and lists what it found, one event per line, so
// that the list can be compared with other readers. Any message libsmf logs counts
// as a failure: it warns and carries on where a strict reader would stop.
//
//   smf_check FILE
//   format F division D tracks N
//   track T: K events
//   TICK XX XX ...          absolute tick and the event's bytes, for every event
//
// libsmf keeps the end-of-track event as the last event of each track and counts
// it in number_of_events (and makes one up, with a warning, when a track lacks
// it), so the list includes it, as a plain walk of the chunk does.
#include <glib.h>
#include <smf.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::vector<std::string> g_messages;

void recordMessage(const gchar* domain, GLogLevelFlags /*level*/, const gchar* message, gpointer /*data*/) {
    g_messages.push_back(std::string(domain != nullptr ? domain : "") + ": " + message);
}

GLogWriterOutput recordStructured(GLogLevelFlags /*level*/, const GLogField* fields, gsize count,
                                  gpointer /*data*/) {
    std::string text;
    for (gsize i = 0; i < count; ++i) {
        if (std::string(fields[i].key) == "MESSAGE" && fields[i].length < 0) {
            text = static_cast<const char*>(fields[i].value);
        }
    }
    g_messages.push_back(text);
    return G_LOG_WRITER_HANDLED;
}

int fail(const char* what, const char* path) {
    std::fprintf(stderr, "smf_check: %s: %s\n", path, what);
    for (const std::string& m : g_messages) {
        std::fprintf(stderr, "  logged: %s\n", m.c_str());
    }
    return 1;
}

}   // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: smf_check FILE\n");
        return 2;
    }
    const char* path = argv[1];
    g_log_set_default_handler(recordMessage, nullptr);
    g_log_set_writer_func(recordStructured, nullptr, nullptr);

    smf_t* smf = smf_load(path);
    if (smf == nullptr) {
        return fail("libsmf cannot load it", path);
    }
    std::printf("format %d division %d tracks %d\n", smf->format, smf->ppqn, smf->number_of_tracks);
    bool wellEnded = true;
    for (int t = 1; t <= smf->number_of_tracks; ++t) {
        smf_track_t* track = smf_get_track_by_number(smf, t);
        std::printf("track %d: %d events\n", t - 1, track->number_of_events);
        int seen = 0;
        for (smf_event_t* e = smf_track_get_next_event(track); e != nullptr;
             e = smf_track_get_next_event(track)) {
            ++seen;
            std::printf("%lu", static_cast<unsigned long>(e->time_pulses));
            for (int k = 0; k < e->midi_buffer_length; ++k) {
                std::printf(" %02x", e->midi_buffer[k]);
            }
            std::printf("\n");
            // Exactly one end of track, and it comes last.
            if ((smf_event_is_eot(e) != 0) != (seen == track->number_of_events)) {
                wellEnded = false;
            }
        }
        if (seen != track->number_of_events) {
            wellEnded = false;
        }
    }
    smf_delete(smf);
    if (!wellEnded) {
        return fail("a track does not end with its one end-of-track event", path);
    }
    if (!g_messages.empty()) {
        return fail("libsmf logged messages while reading it", path);
    }
    return 0;
}
