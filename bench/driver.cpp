// The benchmark's school built and run from C++ alone, through the model the module wraps, so
// the cost of the run can be set beside the same run called from Python.
//
//   driver PLAN REPEATS REPORT
//
// PLAN is the text bench/gen.py's write_plan() makes of a generated school. The build follows
// gen.build step by step (the teachers and classes stay alive beside the School, as a script's
// Python objects do); each of the REPEATS runs gets a freshly built school. The last report is
// written to REPORT, and one line of JSON gives the run's wall time per repeat in nanoseconds.
// Under callgrind the counts are dumped after the build ("build") and the run ("run").
//
// bench/run.py compiles it against the model's static library into build/bench; it is never
// part of the wheel.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "school/class.hpp"
#include "school/school.hpp"
#include "school/subject.hpp"
#include "school/teacher.hpp"

#ifdef HAVE_CALLGRIND
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_ZERO_STATS
#define CALLGRIND_DUMP_STATS_AT(name) (void)(name)
#endif

namespace {

struct PlannedTeacher {
  std::string name, subject, reason;
  bool present, has_reason;
};

struct PlannedLesson {
  std::size_t c;
  std::int16_t period;
  std::size_t t;
};

struct Plan {
  std::vector<PlannedTeacher> teachers;
  std::vector<std::string> classes;
  std::vector<PlannedLesson> lessons;
};

[[noreturn]] void fail(const std::string& why) {
  std::cerr << "driver: " << why << '\n';
  std::exit(2);
}

// Lines of tab-separated fields: "T name subject present has_reason reason", "C name",
// "L class period teacher" (indexes into the T and C lines, in order).
Plan read_plan(const char* path) {
  std::ifstream in(path);
  if (!in) fail(std::string("cannot read ") + path);
  Plan plan;
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::size_t start = 0;
    for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
      f.push_back(line.substr(start, tab - start));
    f.push_back(line.substr(start));
    if (f[0] == "T" && f.size() == 6)
      plan.teachers.push_back({f[1], f[2], f[5], f[3] == "1", f[4] == "1"});
    else if (f[0] == "C" && f.size() == 2)
      plan.classes.push_back(f[1]);
    else if (f[0] == "L" && f.size() == 4)
      plan.lessons.push_back({std::stoul(f[1]), static_cast<std::int16_t>(std::stoi(f[2])), std::stoul(f[3])});
    else
      fail("bad plan line: " + line);
  }
  return plan;
}

// What a script's objects and the School hold after gen.build.
struct Built {
  std::vector<school::Teacher> teachers;
  school::School school;
  std::vector<school::Class> classes;
};

void build(const Plan& plan, Built& b) {
  b.teachers.reserve(plan.teachers.size());
  for (const PlannedTeacher& p : plan.teachers) {
    auto subject = school::parse_subject(p.subject);
    if (!subject.ok()) fail("no subject: " + p.subject);
    b.teachers.emplace_back(p.name, subject.value(), p.present);
    if (p.has_reason) b.teachers.back().reason_of_absentee = p.reason;
  }
  for (const school::Teacher& t : b.teachers) b.school.add_teacher(t);
  b.classes.reserve(plan.classes.size());
  for (const std::string& name : plan.classes) b.classes.emplace_back(name);
  for (const PlannedLesson& l : plan.lessons)
    if (!b.school.register_period(b.teachers[l.t], l.period, b.classes[l.c]).ok()) fail("register_period failed");
  for (const school::Class& c : b.classes) b.school.add_class(c);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) fail("usage: driver PLAN REPEATS REPORT");
  const Plan plan = read_plan(argv[1]);
  const int repeats = std::max(1, std::atoi(argv[2]));
  std::string report;
  std::vector<long long> runs;
  for (int i = 0; i < repeats; ++i) {
    Built b;
    CALLGRIND_ZERO_STATS;
    build(plan, b);
    CALLGRIND_DUMP_STATS_AT("build");
    const auto start = std::chrono::steady_clock::now();
    report = b.school.generate_substitutions();
    const auto end = std::chrono::steady_clock::now();
    CALLGRIND_DUMP_STATS_AT("run");
    runs.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count());
  }
  std::ofstream(argv[3], std::ios::binary) << report;
  std::cout << "{\"run_ns\": [";
  for (std::size_t i = 0; i < runs.size(); ++i) std::cout << (i ? ", " : "") << runs[i];
  std::cout << "]}\n";
}
