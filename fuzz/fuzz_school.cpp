// Drives a School with a program read from the input and follows it with a plain model of
// teachers, classes and the cover rules. Every step compares the library with the model; every
// report is parsed as CSV plus two quoted lines and checked both against the model and against
// rules that hold whatever the model says (present substitutes, one lesson per period each).
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "common.hpp"
#include "school/render.hpp"
#include "school/school.hpp"

using namespace school;

namespace {

// Names, and words for grades, class names and reasons, chosen to need CSV quoting, escaping
// and non-ASCII handling.
constexpr std::array<std::string_view, 8> names = {"Ann",      "Bob",      "Chen, Li", "O\"Neil",
                                                   "Zo\u00eb", "Dee\nDee", "",         "Eve\u0301"};
constexpr std::string_view unknown_name = "Nobody";
constexpr std::array<std::string_view, 8> words = {"9B",        "10,A", "X\"Y",          "",
                                                   "\u03a9\tz", "7\r",  "Sick, \"flu\"", "Planned Absense"};
constexpr std::array<std::string_view, subject_count> display = {
    "Chemistry", "Physics", "Maths",     "Computer", "English", "Biology", "PhysicalEdu",
    "Sanskrit",  "Urdu",    "Geo",       "Acc",      "History", "Civics",  "Business",
    "Arts",      "Games",   "Economics", "Hindi",    "Bengali", "Finance"};

// FUZZ_SHOW=1 prints every report, to see what an input makes the School do.
const bool show = std::getenv("FUZZ_SHOW") != nullptr;

constexpr std::string_view header = "Teacher,Period,Subject,Substitution,Classroom,Reason\n";

using Pair = std::pair<std::int16_t, std::string>;

struct Rec {
  std::string name;
  Subject sub;
  bool present;
  std::string reason;
  std::vector<Pair> pairs;  // insertion order, no duplicates

  bool busy(std::int16_t p) const {
    return std::any_of(pairs.begin(), pairs.end(), [&](const Pair& x) { return x.first == p; });
  }
  bool insert(std::int16_t p, std::string_view g) {
    for (const Pair& x : pairs)
      if (x.first == p && x.second == g) return false;
    pairs.emplace_back(p, std::string(g));
    return true;
  }
};

struct ClassModel {
  std::string name;
  std::vector<std::pair<std::size_t, std::int16_t>> entries;  // record id, period
};

// What the harness holds: the library objects and their model side by side.
struct World {
  School school;
  std::vector<Rec> recs;                   // every record ever filed, by id
  std::vector<std::size_t> teachers;       // the School's teacher list, as ids
  std::map<std::string, std::size_t> map;  // name -> id
  std::vector<ClassModel> school_classes;
  std::vector<Class> held;  // copies of what was added, sharing its records

  std::array<std::optional<Teacher>, names.size()> drafts;
  std::array<Rec, names.size()> draft_models;
  std::vector<Class> slots;
  std::vector<ClassModel> slot_models;
};

std::string expected_teacher_text(const Rec& r) {
  std::string out = "Teacher:\n    {\n        name:" + r.name + " \n        periods: [";
  for (std::size_t i = 0; i < r.pairs.size(); ++i) {
    if (i) out += ", ";
    write_quoted(out, std::to_string(r.pairs[i].first) + ":" + r.pairs[i].second);
  }
  out += "] \n        subject: ";
  out += display[static_cast<std::size_t>(r.sub)];
  out += "\n        present: ";
  out += r.present ? "true" : "false";
  out += "\n    }\n";
  return out;
}

void check_period_set(const PeriodSet& set, const Rec& model) {
  FUZZ_CHECK(set.size() == model.pairs.size());
  std::size_t i = 0;
  for (const Lesson& l : set) {
    FUZZ_CHECK(l.period == model.pairs[i].first && l.grade == model.pairs[i].second);
    ++i;
  }
  std::uint64_t day = 0;
  bool others = false;
  for (const Pair& p : model.pairs) {
    if (PeriodSet::in_day(p.first))
      day |= std::uint64_t{1} << p.first;
    else
      others = true;
  }
  FUZZ_CHECK(set.day_periods() == day && set.has_other_periods() == others);
}

// Every record a class entry reaches must match its model.
void check_records(const std::vector<Class>& classes, const std::vector<ClassModel>& models, const World& w) {
  std::vector<bool> seen(w.recs.size());
  for (std::size_t k = 0; k < classes.size(); ++k) {
    FUZZ_CHECK(classes[k].class_name == models[k].name);
    // The class keeps one entry for the two that each registration lists.
    FUZZ_CHECK(2 * classes[k].lessons.size() == models[k].entries.size());
    for (std::size_t i = 0; i < models[k].entries.size(); ++i) {
      const PeriodEntry& e = classes[k].lessons[i / 2];
      const Rec& r = w.recs[models[k].entries[i].first];
      FUZZ_CHECK(e.period == models[k].entries[i].second && e.absent == !r.present);
      if (seen[models[k].entries[i].first]) continue;  // one look per record is enough
      seen[models[k].entries[i].first] = true;
      auto t = e.teacher.lock();
      FUZZ_CHECK(t->name == r.name && t->sub == r.sub && t->present == r.present && t->reason_of_absentee == r.reason);
      check_period_set(t->periods, r);
    }
  }
}

std::int16_t consume_period(FuzzedDataProvider& in) {
  return in.ConsumeBool() ? in.ConsumeIntegralInRange<std::int16_t>(-2, 6) : in.ConsumeIntegral<std::int16_t>();
}

// One CSV record under RFC 4180 with line feeds; a field is quoted exactly when it must be.
std::optional<std::vector<std::string>> parse_csv_record(std::string_view& r) {
  std::vector<std::string> fields;
  for (;;) {
    std::string f;
    if (!r.empty() && r[0] == '"') {
      std::size_t i = 1;
      for (;;) {
        if (i >= r.size()) return std::nullopt;
        if (r[i] == '"') {
          if (i + 1 < r.size() && r[i + 1] == '"') {
            f += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        f += r[i++];
      }
      if (f.find_first_of(",\"\r\n") == std::string::npos) return std::nullopt;
      r.remove_prefix(i);
    } else {
      std::size_t end = r.find_first_of(",\n\"\r");
      if (end == std::string_view::npos || r[end] == '"' || r[end] == '\r') return std::nullopt;
      f = r.substr(0, end);
      r.remove_prefix(end);
    }
    fields.push_back(std::move(f));
    if (r.empty()) return std::nullopt;
    char sep = r[0];
    r.remove_prefix(1);
    if (sep == '\n') return fields;
    if (sep != ',') return std::nullopt;
  }
}

void run_and_check(World& w) {
  // Rules that need no model of the run: who may cover, and when they are already busy.
  std::map<std::string, std::set<std::int16_t>> busy_present;  // present listed teachers by name
  for (std::size_t id : w.teachers)
    if (w.recs[id].present) {
      auto& periods = busy_present[w.recs[id].name];
      for (const Pair& p : w.recs[id].pairs) periods.insert(p.first);
    }

  // The model's run.
  std::vector<std::vector<std::string>> rows;
  std::string unresolved;
  for (const ClassModel& c : w.school_classes) {
    std::set<std::pair<std::string, std::int16_t>> handled;
    for (auto [id, p] : c.entries) {
      const Rec& t = w.recs[id];
      if (t.present || !handled.emplace(t.name, p).second) continue;
      std::vector<std::size_t> candidates;
      for (std::size_t x : w.teachers)
        if (w.recs[x].present && w.recs[x].sub == t.sub) candidates.push_back(x);
      std::stable_sort(candidates.begin(), candidates.end(),
                       [&](std::size_t a, std::size_t b) { return w.recs[a].pairs.size() < w.recs[b].pairs.size(); });
      std::optional<std::size_t> chosen;
      for (std::size_t x : candidates)
        if (!w.recs[x].busy(p)) {
          chosen = x;
          break;
        }
      if (!chosen)
        for (std::size_t x : w.teachers)
          if (w.recs[x].present && !w.recs[x].busy(p)) {
            chosen = x;
            break;
          }
      if (!chosen) {
        unresolved += "Couldnt find a substitution for " + t.name + " at " + std::to_string(p) + "-";
        write_quoted(unresolved, c.name);
        unresolved += '\n';
        continue;
      }
      w.recs[*chosen].insert(p, c.name);
      rows.push_back({t.name, std::to_string(p), std::string(display[static_cast<std::size_t>(t.sub)]),
                      w.recs[*chosen].name, c.name, t.reason});
    }
  }

  const std::string report = w.school.generate_substitutions();
  if (show) std::fprintf(stderr, "--- report\n%s\n", report.c_str());
  FUZZ_CHECK(fuzz::is_valid_utf8(report));
  std::string_view r = report;
  FUZZ_CHECK(r.substr(0, header.size()) == header);
  r.remove_prefix(header.size());
  std::size_t row = 0;
  while (!r.empty() && r[0] != '\n') {
    auto fields = parse_csv_record(r);
    FUZZ_CHECK(fields && fields->size() == 6);
    FUZZ_CHECK(row < rows.size() && *fields == rows[row]);
    auto period = static_cast<std::int16_t>(std::stoi((*fields)[1]));
    auto sub = busy_present.find((*fields)[3]);
    FUZZ_CHECK(sub != busy_present.end());          // a present teacher of the School
    FUZZ_CHECK(sub->second.insert(period).second);  // and free at that period until now
    ++row;
  }
  FUZZ_CHECK(row == rows.size());
  FUZZ_CHECK(!r.empty());
  r.remove_prefix(1);
  auto got_unresolved = fuzz::unquote(r);
  FUZZ_CHECK(got_unresolved && *got_unresolved == unresolved);
  FUZZ_CHECK(!r.empty() && r[0] == '\n');
  r.remove_prefix(1);
  auto timing = fuzz::unquote(r);
  FUZZ_CHECK(timing && r.empty());
  constexpr std::string_view lead = "Time taken to generate subs: ";
  FUZZ_CHECK(timing->compare(0, lead.size(), lead) == 0);
  FUZZ_CHECK(fuzz::parse_duration(std::string_view(*timing).substr(lead.size())).has_value());
}

void check_school_text(const World& w) {
  const std::string text = w.school.printed_text();
  FUZZ_CHECK(text == w.school.printed_text());
  FUZZ_CHECK(text.rfind("List of teachers: [", 0) == 0);
  std::size_t classes_at = text.find("\nList of classes:[");
  std::size_t map_at = text.find("\nTeacher_hashtable {");
  FUZZ_CHECK(classes_at != std::string::npos && map_at != std::string::npos && classes_at < map_at);
  // The expanded part: whole lines, each indented by whole levels.
  std::string_view expanded = std::string_view(text).substr(0, map_at);
  for (std::size_t start = expanded.find('\n'); start != std::string_view::npos;) {
    std::size_t end = expanded.find('\n', start + 1);
    std::string_view line = expanded.substr(start + 1, end == std::string_view::npos ? end : end - start - 1);
    std::size_t blanks = line.find_first_not_of(' ');
    FUZZ_CHECK(blanks != std::string_view::npos && blanks % 4 == 0);
    start = end;
  }
  std::size_t teacher_lines = 0, present = 0;
  for (std::size_t at = 0; (at = expanded.find("data: Teacher {\n", at)) != std::string_view::npos; ++at)
    ++teacher_lines;
  std::size_t entries = 0;
  for (const ClassModel& c : w.school_classes) entries += c.entries.size();
  FUZZ_CHECK(teacher_lines == w.teachers.size() + entries);
  // The grouping: one line, holding each present listed teacher once.
  std::string_view compact = std::string_view(text).substr(map_at + 1);
  FUZZ_CHECK(compact.find('\n') == std::string_view::npos && compact.back() == '}');
  for (std::size_t id : w.teachers) present += w.recs[id].present;
  std::size_t shown = 0;
  for (std::size_t at = 0; (at = compact.find("Mutex { data: Teacher { ", at)) != std::string_view::npos; ++at) ++shown;
  FUZZ_CHECK(shown == present);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  World w;
  w.slots.emplace_back("9B");
  w.slot_models.push_back({"9B", {}});

  while (in.remaining_bytes() > 0) {
    const std::size_t d = in.ConsumeIntegralInRange<std::size_t>(0, names.size() - 1);
    switch (in.ConsumeIntegralInRange(0, 8)) {
      case 0: {  // a new Teacher object
        auto sub = static_cast<Subject>(in.ConsumeIntegralInRange<std::size_t>(0, subject_count - 1));
        bool present = in.ConsumeBool();
        std::string reason(in.ConsumeBool() ? default_reason
                                            : words[in.ConsumeIntegralInRange<std::size_t>(0, words.size() - 1)]);
        w.drafts[d].emplace(std::string(names[d]), sub, present);
        w.drafts[d]->reason_of_absentee = reason;
        w.draft_models[d] = Rec{std::string(names[d]), sub, present, reason, {}};
        FUZZ_CHECK(printed_text(*w.drafts[d]) == expected_teacher_text(w.draft_models[d]));
        break;
      }
      case 1: {  // add_period, once or as a run of consecutive periods
        if (!w.drafts[d]) break;
        std::int16_t first = consume_period(in);
        int count = in.ConsumeBool() ? 1 : in.ConsumeIntegralInRange(1, 40);
        std::string_view grade = words[in.ConsumeIntegralInRange<std::size_t>(0, words.size() - 1)];
        for (int k = 0; k < count; ++k) {
          auto p = static_cast<std::int16_t>(first + k);
          FUZZ_CHECK(w.drafts[d]->periods.insert(p, grade) == w.draft_models[d].insert(p, grade));
        }
        check_period_set(w.drafts[d]->periods, w.draft_models[d]);
        FUZZ_CHECK(printed_text(*w.drafts[d]) == expected_teacher_text(w.draft_models[d]));
        break;
      }
      case 2: {  // add_teacher: a name already filed is kept
        if (!w.drafts[d]) break;
        w.school.add_teacher(*w.drafts[d]);
        if (w.map.count(w.draft_models[d].name)) break;
        w.recs.push_back(w.draft_models[d]);
        w.map[w.recs.back().name] = w.recs.size() - 1;
        w.teachers.push_back(w.recs.size() - 1);
        break;
      }
      case 3: {  // add_to_hashmap under any pool name
        if (!w.drafts[d]) break;
        std::string key(names[in.ConsumeIntegralInRange<std::size_t>(0, names.size() - 1)]);
        w.school.add_to_hashmap(key, *w.drafts[d]);
        w.recs.push_back(w.draft_models[d]);
        w.map[key] = w.recs.size() - 1;
        break;
      }
      case 4: {  // register_period, sometimes with a name never filed
        std::string name(in.ConsumeBool() ? unknown_name : names[d]);
        const Teacher probe(name, Subject::Maths, true);  // only its name is looked up
        std::int16_t p = consume_period(in);
        std::size_t k = in.ConsumeIntegralInRange<std::size_t>(0, w.slots.size() - 1);
        auto found = w.map.find(name);
        if (found == w.map.end()) {
          const std::string school_before = w.school.printed_text(), class_before = printed_text(w.slots[k]);
          Result<void> outcome = w.school.register_period(probe, p, w.slots[k]);
          FUZZ_CHECK(!outcome.ok() && outcome.failure().kind == Failure::Kind::fatal);
          FUZZ_CHECK(outcome.failure().message ==
                     "Teacher not found in existing list. Please add to 'teacher_list.csv'");
          FUZZ_CHECK(w.school.printed_text() == school_before && printed_text(w.slots[k]) == class_before);
        } else {
          FUZZ_CHECK(w.school.register_period(probe, p, w.slots[k]).ok());
          w.recs[found->second].insert(p, w.slot_models[k].name);
          w.slot_models[k].entries.emplace_back(found->second, p);
          w.slot_models[k].entries.emplace_back(found->second, p);
        }
        check_records(w.slots, w.slot_models, w);
        break;
      }
      case 5: {  // add_class, the same one as often as the program says
        std::size_t k = in.ConsumeIntegralInRange<std::size_t>(0, w.slots.size() - 1);
        w.school.add_class(w.slots[k]);
        w.held.push_back(w.slots[k]);
        w.school_classes.push_back(w.slot_models[k]);
        std::stable_sort(w.teachers.begin(), w.teachers.end(),
                         [&](std::size_t a, std::size_t b) { return w.recs[a].pairs.size() < w.recs[b].pairs.size(); });
        break;
      }
      case 6: {  // a new Class object
        if (w.slots.size() >= 4) break;
        std::string name(words[in.ConsumeIntegralInRange<std::size_t>(0, words.size() - 1)]);
        w.slots.emplace_back(name);
        w.slot_models.push_back({name, {}});
        const std::string printed = printed_text(w.slots.back());
        std::string_view text = printed;
        auto back = fuzz::unquote(text);
        FUZZ_CHECK(back && *back == name && text == " []");
        break;
      }
      case 7:
        run_and_check(w);
        check_records(w.held, w.school_classes, w);
        break;
      case 8: {
        check_school_text(w);
        std::size_t k = in.ConsumeIntegralInRange<std::size_t>(0, w.slots.size() - 1);
        const std::string printed = printed_text(w.slots[k]);
        std::string_view text = printed;
        auto back = fuzz::unquote(text);
        FUZZ_CHECK(back && *back == w.slots[k].class_name && text.substr(0, 2) == " [");
        break;
      }
    }
  }
  run_and_check(w);
  check_records(w.held, w.school_classes, w);
  return 0;
}
