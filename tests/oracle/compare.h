// Compares what kvn sent out with what the model expects, message by message, as it arrives.
//
// The expected output is a queue of items in the order of the input: a message passed on, or a
// tuning run (six control changes for one channel, ninety for all). The passed-on stream must come
// out exactly, in order. Each run must come out exactly and whole (nothing inside it). Where a run
// lands is the one thing allowed to vary, by `landing`: it may come after at most that many of the
// messages that followed its trigger, and never before its trigger. kvn handles a trigger to the
// end (forwarding, its wait, the run) before it takes the next message, so it should be 0; a larger
// value is there for a platform whose runs may be overtaken.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "tests/oracle/model.h"

namespace oracle {

class Comparer {
public:
    Comparer(const Model& model, int landing) : model_(model), landing_(landing) {}

    // The expected output of input message number `source`.
    void Expect(uint64_t source, const Outcome& outcome);
    // One message as it came out; false once anything has not matched.
    bool Feed(const Bytes& actual);
    // Takes what has come out as all there is: a run cut short or a decision left open is settled.
    void Flush();

    bool Failed() const { return failed_; }
    // Every expected message has been seen (and nothing is waiting to be decided).
    bool Caught() const { return queue_.empty() && pending_.empty() && inRun_ == 0; }
    uint64_t ExpectedMessages() const { return expected_; }
    uint64_t MatchedMessages() const { return matched_; }
    uint64_t Runs() const { return runs_; }
    uint64_t RunMessages() const { return runMessages_; }
    // How many messages passed on came out before each run, beyond its place.
    const std::map<int, uint64_t>& Landing() const { return landingCounts_; }
    // The source of the first expected item not yet seen (or the next source).
    uint64_t WaitingFor() const;
    // What went wrong, with what led to it.
    std::string Report() const;

private:
    struct Item {
        uint64_t source;
        int run;       // kNoTuning for a message passed on, else the channel or kAllChannels
        Bytes bytes;   // the message passed on
        int late = 0;  // run: messages passed on that came out before it
    };
    void Decide(bool final);
    void Fail(const std::string& why);
    void Seen(const Bytes& b, const std::string& as);

    const Model& model_;
    int landing_;
    std::deque<Item> queue_;
    std::deque<Bytes> pending_;  // came out, not decided yet
    const std::vector<Bytes>* run_ = nullptr;
    size_t inRun_ = 0;  // position inside the run being consumed, 0 when none
    uint64_t runSource_ = 0;
    int runChannel_ = 0;
    uint64_t expected_ = 0, matched_ = 0, runs_ = 0, runMessages_ = 0, nextSource_ = 0;
    std::map<int, uint64_t> landingCounts_;
    bool failed_ = false;
    std::string why_;
    std::deque<std::string> recent_;  // the last messages seen and what they were taken for
    std::vector<std::string> after_;  // what came out after the mismatch (a few)
};

}  // namespace oracle
