#pragma once

namespace DataTypes {

// Moving average over the last length samples (1..25). Fixed size: no allocation.
class FilterAverage {
public:
    static constexpr int kMaxLength = 25;

    FilterAverage();
    explicit FilterAverage(int n);
    FilterAverage(const FilterAverage&) = default;
    FilterAverage& operator=(const FilterAverage&) = default;
    virtual ~FilterAverage() = default;

    // Slots not yet filled since construction or reset count as 0.
    float GetNewAverage(float sample);
    float GetAverage() const { return average; }
    void ResetFilter();

private:
    int length;
    float samples[kMaxLength] = {};
    int index = 0;
    float average = 0.0f;
};

}  // namespace DataTypes
