#include "core/FilterAverage.h"

namespace DataTypes {

FilterAverage::FilterAverage() : FilterAverage(5) {}

FilterAverage::FilterAverage(int n) : length(n < 1 ? 1 : (n > kMaxLength ? kMaxLength : n)) { ResetFilter(); }

float FilterAverage::GetNewAverage(float sample) {
    index = index + 1;
    if (index >= length) {
        index = 0;
    }
    samples[index] = sample;
    float sum = 0.0f;
    for (int i = 0; i < length; ++i) {
        sum += samples[i];
    }
    average = sum / static_cast<float>(length);
    return average;
}

void FilterAverage::ResetFilter() {
    for (int i = 0; i < length; ++i) {
        samples[i] = 0.0f;
    }
    index = 0;
    average = 0.0f;
}

}  // namespace DataTypes
