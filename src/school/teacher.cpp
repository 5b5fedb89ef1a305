// Teacher records: the pair set, the printed text and the debug rendering.
#include "school/teacher.hpp"
#include "school/growth.hpp"

#include <algorithm>

#include "school/hash.hpp"
#include "school/render.hpp"

namespace school {
namespace {

std::uint64_t pair_hash(std::int16_t period, std::string_view grade) noexcept {
  return keyed_hash(grade) ^ keyed_mix(static_cast<std::uint16_t>(period));
}

}  // namespace

const SharedText& default_reason_text() {
  // Made on first use and never destroyed, so a record released late in the process's exit
  // still finds it.
  static const SharedText* const text = new SharedText(default_reason);
  return *text;
}

PeriodSet::PeriodSet(const PeriodSet& other)
    : lessons_(other.lessons_),
      pairs_(other.pairs_ ? std::make_unique<FlatIndex>(*other.pairs_) : nullptr),
      day_periods_(other.day_periods_),
      has_other_periods_(other.has_other_periods_) {}

void PeriodSet::swap(PeriodSet& other) noexcept {
  lessons_.swap(other.lessons_);
  pairs_.swap(other.pairs_);
  std::swap(day_periods_, other.day_periods_);
  std::swap(has_other_periods_, other.has_other_periods_);
}

bool PeriodSet::insert(std::int16_t period, std::string_view grade) {
  return add(period, grade, [grade] { return SharedText(grade); });
}

bool PeriodSet::insert(std::int16_t period, const SharedText& grade) {
  return add(period, grade.view(), [&grade] { return grade; });
}

template <class Grade>
bool PeriodSet::add(std::int16_t period, std::string_view grade, Grade&& text) {
  auto same_pair = [&](const Lesson& l) { return l.period == period && l.grade == grade; };
  const std::uint64_t hash = pairs_ ? pair_hash(period, grade) : 0;
  const bool known = pairs_ ? pairs_->find(hash, [&](std::uint32_t v) { return same_pair(lessons_[v - 1]); }) != 0
                            : std::any_of(lessons_.begin(), lessons_.end(), same_pair);
  if (known) return false;

  // Everything that may allocate happens before the first change.
  reserve_more(lessons_, lessons_.capacity() == 0 ? first_capacity : 1);
  Lesson lesson{period, text()};
  if (pairs_) {
    pairs_->reserve_one([this](std::uint32_t v) {
      const Lesson& l = lessons_[v - 1];
      return pair_hash(l.period, l.grade);
    });
    pairs_->insert(hash, static_cast<std::uint32_t>(lessons_.size() + 1));
  } else if (lessons_.size() == scanned) {
    // This pair is the first one past the scanned size: index all of them at once.
    auto index = std::make_unique<FlatIndex>();
    build_index(*index);
    index->reserve_one([this](std::uint32_t v) {
      const Lesson& l = lessons_[v - 1];
      return pair_hash(l.period, l.grade);
    });
    index->insert(pair_hash(period, grade), static_cast<std::uint32_t>(lessons_.size() + 1));
    pairs_ = std::move(index);
  }
  lessons_.push_back(std::move(lesson));
  if (in_day(period))
    day_periods_ |= std::uint64_t{1} << period;
  else
    has_other_periods_ = true;
  return true;
}

void PeriodSet::build_index(FlatIndex& index) const {
  auto rehash = [this](std::uint32_t v) {
    const Lesson& l = lessons_[v - 1];
    return pair_hash(l.period, l.grade);
  };
  for (std::uint32_t i = 0; i < lessons_.size(); ++i) {
    index.reserve_one(rehash);
    index.insert(rehash(i + 1), i + 1);
  }
}

std::string printed_text(const Teacher& t) {
  std::string out;
  out.reserve(96 + t.name.size() + t.periods.size() * 16);
  out += "Teacher:\n    {\n        name:";
  out += t.name;
  out += " \n        periods: [";
  bool first = true;
  std::string item;
  for (const Lesson& l : t.periods) {
    if (!first) out += ", ";
    first = false;
    item.clear();
    append_decimal(item, l.period);
    item += ':';
    item += l.grade;
    write_quoted(out, item);
  }
  out += "] \n        subject: ";
  out += subject_name(t.sub);
  out += "\n        present: ";
  out += t.present ? "true" : "false";
  out += "\n    }\n";
  return out;
}

void render_debug(DebugWriter& w, const Teacher& t) {
  w.begin_record("Teacher");
  w.field("name");
  w.text(t.name);
  w.field("periods");
  w.begin_set();
  for (const Lesson& l : t.periods) {
    w.item();
    w.begin_pair();
    w.item();
    w.number(l.period);
    w.item();
    w.text(l.grade);
    w.end();
  }
  w.end();
  w.field("sub");
  w.word(subject_name(t.sub));
  w.field("present");
  w.word(t.present ? "true" : "false");
  w.field("reason_of_absentee");
  w.text(t.reason_of_absentee);
  w.end();
}

}  // namespace school
