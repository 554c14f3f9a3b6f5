// The ALSA sequencer's counterpart of JackClient, for the end-to-end tests over ALSA: one client
// of the given name with a port "out" (others read from it: the player) and a port "in" (others
// write to it: the sink), so that kvn's catalogue shows "<name>:out" and "<name>:in". What it plays
// goes direct to the subscribers of "out"; what reaches "in" is decoded by a thread of its own, a
// SysEx that comes in pieces joined first.
#pragma once

#include <alsa/asoundlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kvntest {

using Bytes = std::vector<uint8_t>;

class AlsaClient {
public:
    explicit AlsaClient(const std::string& name);
    ~AlsaClient();
    AlsaClient(const AlsaClient&) = delete;
    AlsaClient& operator=(const AlsaClient&) = delete;

    bool Ok() const { return seq_ != nullptr && in_ >= 0 && out_ >= 0; }
    std::string Name() const;

    // Delivered to the subscribers of "out" before it returns. A receiver's sequencer queue that
    // overflows is emptied whole, so each event first waits (a while at most) until every
    // receiving program has room for it.
    void Send(const Bytes& event);
    // As consecutive events of at most `piece` bytes.
    bool SendInPieces(const Bytes& event, size_t piece);
    // Bytes the fullest receiver can take now (at most a few kilobytes).
    size_t SendRoom();

    std::vector<Bytes> WaitFor(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    std::vector<Bytes> Received();
    size_t Count();  // of Received(), without the copy
    void Clear();

    // Round trips of an event to itself through the sequencer: once one is back, everything
    // delivered to "in" before it has been taken in.
    bool WaitCycles(uint64_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Times the sequencer emptied this client's queue, full, losing what it held.
    uint64_t Overflows() const { return overflows_.load(); }

    // Leaves the sequencer now (the ports and their subscriptions go with it), as a device that is
    // unplugged. A client of the same name made later gets a new number.
    void Close();

    bool PortExists(const std::string& name);
    bool Connected(const std::string& from, const std::string& to);
    // "client:port" of every MIDI port of the other programs (and this one) that can be read from
    // (`readable`) or written to through a subscription, clients by number, each one's ports in
    // order: the order of kvn's catalogue.
    std::vector<std::string> MidiPorts(bool readable);

private:
    void ReceiveLoop();
    void Take(const snd_seq_event_t& ev);
    void Push(Bytes b);
    void Flush();
    bool Emit(snd_seq_event_t& ev);
    int InputFree(int client);
    long RoomCells();
    bool Find(const std::string& name, snd_seq_addr_t* addr);

    snd_seq_t* seq_ = nullptr;
    int client_ = -1, in_ = -1, out_ = -1;
    int fd_ = -1;    // the sequencer's descriptor
    int stop_ = -1;  // an eventfd that ends the receiving thread
    std::mutex sendMu_;
    snd_midi_event_t* enc_ = nullptr;  // under sendMu_
    long credit_ = 0;                  // cells the receivers had free when last asked, less those sent since
    std::thread receiver_;
    std::atomic<uint64_t> overflows_{0};

    // The receiving thread's own.
    snd_midi_event_t* dec_ = nullptr;
    Bytes sysex_;
    std::vector<Bytes> pending_;  // taken in, not yet handed over

    std::mutex mu_;
    std::condition_variable arrived_;
    std::vector<Bytes> received_;
    uint64_t echoes_ = 0, echoesSent_ = 0;  // under mu_
};

}  // namespace kvntest
