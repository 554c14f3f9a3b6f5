#include "tests/oracle/compare.h"

#include <algorithm>

namespace oracle {

namespace {

// "#n". Built by appending: g++ 12 warns falsely (-Wrestrict) about "#" + std::to_string(n) at -O3.
std::string Numbered(uint64_t n) {
    std::string s = "#";
    s += std::to_string(n);
    return s;
}

std::string RunName(int run) {
    return run == kAllChannels ? "all channels" : "channel " + std::to_string(run + 1);
}

}  // namespace

void Comparer::Expect(uint64_t source, const Outcome& outcome) {
    if (outcome.passed) {
        queue_.push_back({source, kNoTuning, outcome.out});
        ++expected_;
    }
    if (outcome.tuning != kNoTuning) {
        queue_.push_back({source, outcome.tuning, {}});
        expected_ += model_.Run(outcome.tuning).size();
    }
    nextSource_ = source + 1;
}

bool Comparer::Feed(const Bytes& actual) {
    if (failed_) {
        if (after_.size() < 12) after_.push_back(Show(actual));
        return false;
    }
    pending_.push_back(actual);
    Decide(false);
    return !failed_;
}

void Comparer::Flush() { Decide(true); }

uint64_t Comparer::WaitingFor() const {
    if (inRun_ > 0) return runSource_;
    return queue_.empty() ? nextSource_ : queue_.front().source;
}

void Comparer::Seen(const Bytes& b, const std::string& as) {
    recent_.push_back(Show(b) + "   <- " + as);
    if (recent_.size() > 24) recent_.pop_front();
}

void Comparer::Fail(const std::string& why) {
    failed_ = true;
    why_ = why;
    if (!pending_.empty() && pending_.front()[0] < 0x80)
        why_ += " (no status byte: not a MIDI message kvn could send)";
    for (const Bytes& b : pending_) {
        if (after_.size() < 12) after_.push_back(Show(b));
    }
    pending_.clear();
}

void Comparer::Decide(bool final) {
    while (!failed_ && !pending_.empty()) {
        const Bytes& actual = pending_.front();
        if (inRun_ > 0) {
            // Inside a run nothing else may come.
            const Bytes& want = (*run_)[inRun_];
            const std::string where = Numbered(runSource_) + " tuning of " + RunName(runChannel_) + ", " +
                                      std::to_string(inRun_ + 1) + "/" + std::to_string(run_->size());
            if (actual != want) {
                Fail("in the tuning run after message #" + std::to_string(runSource_) + " (" +
                     RunName(runChannel_) + "), message " + std::to_string(inRun_ + 1) + " of " +
                     std::to_string(run_->size()) + ": expected " + Show(want) + ", came " + Show(actual));
                return;
            }
            Seen(actual, where);
            pending_.pop_front();
            ++matched_;
            ++runMessages_;
            if (++inRun_ == run_->size()) inRun_ = 0;
            continue;
        }
        if (queue_.empty()) {
            Fail("nothing more was expected, came " + Show(actual));
            return;
        }
        Item& front = queue_.front();
        if (front.run == kNoTuning) {
            if (actual != front.bytes) {
                Fail("for message #" + std::to_string(front.source) + " expected " + Show(front.bytes) +
                     ", came " + Show(actual));
                return;
            }
            Seen(actual, Numbered(front.source) + " passed on");
            pending_.pop_front();
            queue_.pop_front();
            ++matched_;
            continue;
        }
        // A run is due here. Does what came so far begin it?
        const std::vector<Bytes>& run = model_.Run(front.run);
        const size_t n = std::min(pending_.size(), run.size());
        bool prefix = true;
        for (size_t i = 0; i < n && prefix; ++i) prefix = pending_[i] == run[i];
        const bool whole = prefix && n == run.size();
        // Taken as the run when it is whole, or when it begins so and nothing else may come first.
        if (whole || (prefix && front.late >= landing_)) {
            ++landingCounts_[front.late];
            ++runs_;
            run_ = &run;
            runChannel_ = front.run;
            runSource_ = front.source;
            queue_.pop_front();
            inRun_ = 0;
            const Bytes first = pending_.front();
            Seen(first, Numbered(runSource_) + " tuning of " + RunName(runChannel_) + ", 1/" +
                            std::to_string(run.size()));
            pending_.pop_front();
            ++matched_;
            ++runMessages_;
            inRun_ = run.size() > 1 ? 1 : 0;
            continue;
        }
        if (prefix && !final) return;  // not enough has come to tell the run from what may overtake it
        if (front.late < landing_) {
            // A message passed on after the trigger may overtake the run (and every run before it).
            auto next =
                std::find_if(queue_.begin(), queue_.end(), [](const Item& i) { return i.run == kNoTuning; });
            if (next != queue_.end() && actual == next->bytes) {
                for (auto it = queue_.begin(); it != next; ++it) ++it->late;
                Seen(actual, Numbered(next->source) + " passed on, ahead of a tuning run");
                queue_.erase(next);
                pending_.pop_front();
                ++matched_;
                continue;
            }
        }
        Fail("after message #" + std::to_string(front.source) + " expected the tuning of " +
             RunName(front.run) + " (" + Show(run[0]) + " ...), came " + Show(actual) +
             (front.late > 0 ? " (after " + std::to_string(front.late) + " messages that overtook it)" : ""));
        return;
    }
    if (final && inRun_ > 0 && !failed_) {
        Fail("the tuning run after message #" + std::to_string(runSource_) + " (" + RunName(runChannel_) +
             ") stopped after " + std::to_string(inRun_) + " of " + std::to_string(run_->size()) +
             " messages");
    }
}

std::string Comparer::Report() const {
    std::string out = "MISMATCH: " + why_ + "\n  what came out before it, and what it was taken for:\n";
    for (const std::string& s : recent_) out += "    " + s + "\n";
    out += "  what came out from there on:\n";
    for (const std::string& s : after_) out += "    " + s + "\n";
    if (after_.empty()) out += "    (nothing)\n";
    out += "  expected from there on:\n";
    int shown = 0;
    for (const Item& i : queue_) {
        if (++shown > 8) break;
        out += "    #" + std::to_string(i.source) + " " +
               (i.run == kNoTuning ? Show(i.bytes) : "tuning of " + RunName(i.run)) + "\n";
    }
    return out;
}

}  // namespace oracle
