// A class of pupils: its name and its lessons, each a shared teacher record and a period.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
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

// Its lessons come from register_period, which lists each lesson twice in a row, so the class
// keeps each once and every rendering writes it twice: `lessons` stands for the list of
// periods with each entry doubled.
struct Class {
  explicit Class(std::string_view name) : class_name(name) {}

  SharedText class_name;  // also the grade of the pairs that name this class
  std::vector<PeriodEntry> lessons;
};

using ClassHandle = Handle<Class>;

// The text a Python user sees from str(class): the quoted name and the expanded lessons.
std::string printed_text(const Class& c);

void render_debug(DebugWriter& w, const Class& c);

}  // namespace school
