// Class renderings.
#include "school/class.hpp"

#include "school/render.hpp"

namespace school {
namespace {

// The list of periods: every lesson as the two identical entries that register_period made.
void render_lessons(DebugWriter& w, const std::vector<PeriodEntry>& lessons) {
  w.begin_list();
  for (const PeriodEntry& e : lessons)
    for (int copy = 0; copy < 2; ++copy) {
      w.item();
      w.begin_pair();
      w.item();
      render_shared(w, e.teacher);
      w.item();
      w.number(e.period);
      w.end();
    }
  w.end();
}

}  // namespace

std::string printed_text(const Class& c) {
  std::string out;
  write_quoted(out, c.class_name);
  out += ' ';
  DebugWriter w(out, DebugWriter::Form::expanded);
  render_lessons(w, c.lessons);
  return out;
}

void render_debug(DebugWriter& w, const Class& c) {
  w.begin_record("Class");
  w.field("class_name");
  w.text(c.class_name);
  w.field("list_of_periods");
  render_lessons(w, c.lessons);
  w.end();
}

}  // namespace school
