// The text a substitution run returns: the CSV table, the unresolved lessons and the time taken.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "school/shared.hpp"

namespace school {

// Fixed texts of the report: callers parse it and stored reports hold it, so they stay byte
// for byte as they are, misspelling included.
inline constexpr std::string_view report_header = "Teacher,Period,Subject,Substitution,Classroom,Reason\n";
inline constexpr std::string_view uncovered_lead = "Couldnt find a substitution for ";
inline constexpr std::string_view timing_lead = "Time taken to generate subs: ";

class SubstitutionReport {
 public:
  SubstitutionReport();

  // One assignment. Fields that would break the CSV (comma, quote, line break) are quoted.
  void add_row(std::string_view absent, std::int16_t period, std::string_view subject, std::string_view substitute,
               std::string_view class_name, std::string_view reason);
  // One lesson nobody could take.
  void add_unresolved(std::string_view absent, std::int16_t period, std::string_view class_name);
  void add_timing(std::chrono::nanoseconds elapsed);
  // The whole report; the sections stay as they were.
  std::string finish() const;

  // The lock of a section, held while the names of a line are read from teacher records.
  RecordLock& table_lock() noexcept { return table_.lock; }
  RecordLock& unresolved_lock() noexcept { return unresolved_.lock; }

 private:
  struct Section {
    mutable RecordLock lock;
    std::string text;
  };
  Section table_, unresolved_, timing_;
};

// A duration as "2.5s", "1.0004ms", "12.34µs" or "999ns": every digit kept, trailing zeros dropped.
void write_duration(std::string& out, std::uint64_t seconds, std::uint32_t nanos);

}  // namespace school
