// A class of pupils: its name and its lessons, each a shared teacher record and a period.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "school/teacher.hpp"

namespace school {

struct PeriodEntry {
  TeacherHandle teacher;
  std::int16_t period;
  // The record's presence, which never changes once a School has made the record, kept here
  // (in what would be padding) so a run passes over present teachers' lessons without locking.
  bool absent;
};

struct Class {
  explicit Class(std::string name) : class_name(std::move(name)) {}

  std::string class_name;
  std::vector<PeriodEntry> list_of_periods;
};

using ClassHandle = Handle<Class>;

// The text a Python user sees from str(class): the quoted name and the expanded lessons.
std::string printed_text(const Class& c);

void render_debug(DebugWriter& w, const Class& c);

}  // namespace school
