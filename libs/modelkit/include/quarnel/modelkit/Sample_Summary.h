// The mean and sample standard deviation of a handful of values: the end states of a model
// over seeds, as the example models' comparison programs tabulate them. A plain value.
#pragma once

#include <cmath>
#include <vector>

namespace quarnel::modelkit {

struct Sample_Summary {
  std::vector<double> values;

  double Mean() const {
    double sum = 0;
    for (double v : values) sum += v;
    return values.empty() ? 0.0 : sum / double(values.size());
  }
  // The sample standard deviation (n - 1 in the denominator); 0 for fewer than two values.
  double Sd() const {
    const double mean = Mean();
    double sum = 0;
    for (double v : values) sum += (v - mean) * (v - mean);
    return values.size() > 1 ? std::sqrt(sum / double(values.size() - 1)) : 0.0;
  }
};

}  // namespace quarnel::modelkit
