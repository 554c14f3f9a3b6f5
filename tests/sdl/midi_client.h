// The end-to-end tests' one way to play to kvn and listen to it, over the MIDI system the test run
// names: the ALSA sequencer with KVN_TEST_MIDI=alsa, else the JACK server (JackClient). Either
// way a client of the given name with the ports "<name>:out" (the player) and "<name>:in" (the
// sink), as kvn's catalogue shows them.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tests/sdl/alsa_client.h"
#include "tests/sdl/jack_client.h"

namespace kvntest {

class MidiClient {
public:
    explicit MidiClient(const std::string& name);
    MidiClient(const MidiClient&) = delete;
    MidiClient& operator=(const MidiClient&) = delete;

    // Whether this run's MIDI system is the ALSA sequencer.
    static bool Alsa();

    bool Ok() const { return jack_ ? jack_->Ok() : alsa_->Ok(); }
    std::string Name() const { return jack_ ? jack_->Name() : alsa_->Name(); }
    std::string OutPort() const { return Name() + ":out"; }
    std::string InPort() const { return Name() + ":in"; }

    void Send(const Bytes& event) { jack_ ? jack_->Send(event) : alsa_->Send(event); }
    bool SendInPieces(const Bytes& event, size_t piece) {
        return jack_ ? jack_->SendInPieces(event, piece) : alsa_->SendInPieces(event, piece);
    }
    size_t SendRoom() { return jack_ ? jack_->SendRoom() : alsa_->SendRoom(); }

    std::vector<Bytes> WaitFor(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        return jack_ ? jack_->WaitFor(count, timeout) : alsa_->WaitFor(count, timeout);
    }
    std::vector<Bytes> Received() { return jack_ ? jack_->Received() : alsa_->Received(); }
    size_t Count() { return jack_ ? jack_->Received().size() : alsa_->Count(); }
    void Clear() { jack_ ? jack_->Clear() : alsa_->Clear(); }

    // JACK: periods of the server; ALSA: round trips through the sequencer. Either way, once they
    // are done, what was sent to this client before has been taken in.
    bool WaitCycles(uint64_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        return jack_ ? jack_->WaitCycles(count, timeout) : alsa_->WaitCycles(count, timeout);
    }

    // Losses in this client's own queue, full (JACK: events lost; ALSA: times it was emptied).
    uint64_t Overflows() const { return jack_ ? jack_->Overflows() : alsa_->Overflows(); }

    // Leaves the MIDI system now, as a device that is unplugged.
    void Close() { jack_ ? jack_->Close() : alsa_->Close(); }
    // JACK only (a gone server): see JackClient::Abandon.
    void Abandon() {
        if (jack_) jack_->Abandon();
    }

    bool PortExists(const std::string& name) {
        return jack_ ? jack_->PortExists(name) : alsa_->PortExists(name);
    }
    bool Connected(const std::string& from, const std::string& to) {
        return jack_ ? jack_->Connected(from, to) : alsa_->Connected(from, to);
    }
    // The MIDI ports others can read from, in the order the MIDI system lists them.
    std::vector<std::string> Outputs() {
        return jack_ ? jack_->MidiPorts(JackPortIsOutput) : alsa_->MidiPorts(true);
    }

private:
    std::unique_ptr<JackClient> jack_;
    std::unique_ptr<AlsaClient> alsa_;
};

}  // namespace kvntest
