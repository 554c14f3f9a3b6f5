// The reference relay of jack_e2e_bench: a process of its own with the same JACK shape as kvn's
// MIDI path (an input client "relay-in" and an output client "relay", as RtMidi makes them), that
// hands every event from the input's process callback to the output's through a lock-free ring;
// the output writes them at offset 0 of its next period, as RtMidi's output does. So it is what
// any relay of that shape costs, without an engine or a user-interface thread in between.
// Runs until SIGTERM or SIGINT.
#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

namespace {

jack_ringbuffer_t* gRing = nullptr;
jack_port_t* gIn = nullptr;
jack_port_t* gOut = nullptr;
std::atomic<uint64_t> gDropped{0};

int ProcessIn(jack_nframes_t frames, void*) {
    void* buf = jack_port_get_buffer(gIn, frames);
    const uint32_t n = jack_midi_get_event_count(buf);
    for (uint32_t i = 0; i < n; ++i) {
        jack_midi_event_t ev;
        if (jack_midi_event_get(&ev, buf, i) != 0) continue;
        const auto len = static_cast<uint32_t>(ev.size);
        if (jack_ringbuffer_write_space(gRing) < sizeof len + len) {
            gDropped.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        jack_ringbuffer_write(gRing, reinterpret_cast<const char*>(&len), sizeof len);
        jack_ringbuffer_write(gRing, reinterpret_cast<const char*>(ev.buffer), len);
    }
    return 0;
}

int ProcessOut(jack_nframes_t frames, void*) {
    void* buf = jack_port_get_buffer(gOut, frames);
    jack_midi_clear_buffer(buf);
    uint32_t len = 0;
    while (jack_ringbuffer_read_space(gRing) >= sizeof len) {
        jack_ringbuffer_peek(gRing, reinterpret_cast<char*>(&len), sizeof len);
        if (jack_ringbuffer_read_space(gRing) < sizeof len + len) break;
        jack_midi_data_t* data = jack_midi_event_reserve(buf, 0, len);
        if (data == nullptr) break;  // the period is full: the rest leaves next time
        jack_ringbuffer_read_advance(gRing, sizeof len);
        jack_ringbuffer_read(gRing, reinterpret_cast<char*>(data), len);
    }
    return 0;
}

}  // namespace

int main() {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);  // before JACK's threads exist, so they inherit it

    gRing = jack_ringbuffer_create(1 << 20);
    jack_client_t* in = jack_client_open("relay-in", JackNoStartServer, nullptr);
    jack_client_t* out = jack_client_open("relay", JackNoStartServer, nullptr);
    if (in == nullptr || out == nullptr) {
        std::fprintf(stderr, "jack_relay: no JACK server\n");
        return 1;
    }
    gIn = jack_port_register(in, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    gOut = jack_port_register(out, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    jack_set_process_callback(in, ProcessIn, nullptr);
    jack_set_process_callback(out, ProcessOut, nullptr);
    if (gIn == nullptr || gOut == nullptr || jack_activate(out) != 0 || jack_activate(in) != 0) {
        std::fprintf(stderr, "jack_relay: cannot register or activate\n");
        return 1;
    }
    int sig = 0;
    sigwait(&stop, &sig);
    jack_client_close(in);
    jack_client_close(out);
    if (gDropped.load() != 0)
        std::fprintf(stderr, "jack_relay: %llu dropped\n", (unsigned long long)gDropped.load());
    jack_ringbuffer_free(gRing);
    return 0;
}
