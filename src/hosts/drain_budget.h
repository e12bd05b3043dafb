#pragma once
// How many records one drain takes before the supervision pass and any due
// start run: a flood of records must not hold supervision off. The drain
// goes on after them. It counts records, not time, so the loop's own long
// waits (a removal's, an unload's) never cut a batch; ordinary loads never
// reach it.

#include <cstddef>

namespace zav::custody {

class DrainBudget {
 public:
  static constexpr std::size_t kRecords = 256;

  // Counts one record handled; true once the budget is spent.
  bool Spend() { return ++records >= kRecords; }

 private:
  std::size_t records = 0;
};

}  // namespace zav::custody
