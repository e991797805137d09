#pragma once
// Figures whose verdicts hold from one run to the next. A figure and its floor are measured
// interleaved, in several short rounds (the floor first in even rounds, the figure first in odd
// ones, so that a drift of the machine falls on both alike); each round gives a ratio, and the
// verdict is on the median of those ratios. Their spread (lowest and highest) is reported beside
// it: a row whose spread straddles its target is a row to look into, not a verdict.
//
// The counters a benchmark reports for report.py: "figure" and "floor" (medians of the rounds'
// values), "ratio" (median of the rounds' ratios), "ratio_min", "ratio_max" and "rounds".
#include "stats.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace sorvane::bench {

class Rounds {
public:
    // How a round's figure and floor make its ratio: figure / floor unless the target is a
    // bound that grows with the floor (then figure / bound(floor)).
    using Ratio = std::function<double(double figure, double floor)>;
    static double plain(double figure, double floor) { return floor > 0 ? figure / floor : 0; }

    void add(double figure, double floor, const Ratio& ratio = plain) {
        figures_.push_back(figure);
        floors_.push_back(floor);
        ratios_.push_back(ratio(figure, floor));
    }
    bool empty() const { return ratios_.empty(); }
    double figure() const { return median(figures_); }
    double floor() const { return median(floors_); }
    double ratio() const { return median(ratios_); }

    // Writes the counters, each name after `prefix` ("" or e.g. "p99_").
    void report(benchmark::State& state, const std::string& prefix = {}) const {
        if (ratios_.empty())
            return;
        state.counters[prefix + "figure"] = figure();
        state.counters[prefix + "floor"] = floor();
        state.counters[prefix + "ratio"] = ratio();
        state.counters[prefix + "ratio_min"] = *std::min_element(ratios_.begin(), ratios_.end());
        state.counters[prefix + "ratio_max"] = *std::max_element(ratios_.begin(), ratios_.end());
        state.counters[prefix + "rounds"] = static_cast<double>(ratios_.size());
    }

private:
    std::vector<double> figures_, floors_, ratios_;
};

// Runs a round's steps, given floor first: in that order in even rounds, backwards in odd ones.
inline void inRoundOrder(int round, const std::vector<std::function<void()>>& steps) {
    if (round % 2 == 0)
        for (const auto& step : steps)
            step();
    else
        for (auto it = steps.rbegin(); it != steps.rend(); ++it)
            (*it)();
}

// Runs `rounds` rounds of `floor()` and `figure()`, each returning its value for the round.
template <typename Floor, typename Figure>
Rounds interleave(int rounds, Floor&& floor, Figure&& figure,
                  const Rounds::Ratio& ratio = Rounds::plain) {
    Rounds out;
    for (int i = 0; i < rounds; ++i) {
        double a = 0, b = 0;
        inRoundOrder(i, {[&] { a = floor(); }, [&] { b = figure(); }});
        out.add(b, a, ratio);
    }
    return out;
}

} // namespace sorvane::bench
