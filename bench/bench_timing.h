#pragma once

// Timing for the benchmark programs: figures are medians, and a figure compared against a
// reference is sampled alternately with it so that both see the same machine load (other
// processes share the cores).

#include <algorithm>
#include <chrono>
#include <functional>
#include <utility>
#include <vector>

// Median seconds of one call of AFirst and of ASecond, sampled alternately for about
// 2 x ASecondsPerFigure (at least five samples each).
inline std::pair<double, double> PairedMedianSeconds(const std::function<void()>& AFirst,
                                                     const std::function<void()>& ASecond,
                                                     double ASecondsPerFigure) {
  using Clock = std::chrono::steady_clock;
  AFirst();
  ASecond();
  std::vector<double> first;
  std::vector<double> second;
  const auto until = Clock::now() + std::chrono::duration<double>(2 * ASecondsPerFigure);
  while (first.size() < 5 || (Clock::now() < until && first.size() < 100000)) {
    for (auto [work, samples] : {std::pair{&AFirst, &first}, std::pair{&ASecond, &second}}) {
      const auto start = Clock::now();
      (*work)();
      samples->push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
  }
  auto median = [](std::vector<double>& v) {
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
  };
  return {median(first), median(second)};
}
