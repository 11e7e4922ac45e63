// The progress line's text and its schedule, with a clock the test sets by hand.
#include <gtest/gtest.h>

#include <string>

#include "core/run/progress.hpp"
#include "core/run/stop_check.hpp"

namespace {

double g_now = 0.0;
double test_clock() {
  return g_now;
}

struct Drawn {
  std::string text;
  int flushes = 0;
};

core::Printer printer_into(Drawn *d) {
  return core::Printer([](void *t, const char *s) { static_cast<Drawn *>(t)->text += s; }, d,
                       [](void *t) { ++static_cast<Drawn *>(t)->flushes; });
}

}  // namespace

TEST(Progress, TheLineOfTheWorkedExample) {
  // 420000 of 1000000 steps after 1.2 s: 1.2 * 580000 / 420000 = 1.66 s left.
  Drawn d;
  g_now = 100.0;
  {
    core::Progress p(printer_into(&d), core::Progress::Style::InPlace, test_clock, "kinkstep", "steps", 1000000);
    g_now = 101.2;
    p.at_check_point(420000);
    EXPECT_EQ(d.text, "\rkinkstep: 42% (420000 of 1000000 steps), 1.2 s elapsed, about 1.7 s left");
    EXPECT_EQ(d.flushes, 1);
    // Not yet 0.25 s later: nothing; then a shorter text, padded over the longer one.
    g_now = 101.3;
    p.at_check_point(500000);
    EXPECT_EQ(d.flushes, 1);
    g_now = 101.5;
    p.at_check_point(990000);
    EXPECT_EQ(d.text.substr(d.text.rfind('\r')),
              "\rkinkstep: 99% (990000 of 1000000 steps), 1.5 s elapsed, about 0.0 s left");
    g_now = 101.6;
    p.finish();
    EXPECT_EQ(d.text.substr(d.text.rfind('\r')),
              "\rkinkstep: 100% (1000000 of 1000000 steps), 1.6 s elapsed                \n");
  }
  // finish() ended the line: the destructor adds nothing.
  EXPECT_EQ(d.text.back(), '\n');
  EXPECT_EQ(d.text.find('\n'), d.text.size() - 1);
}

TEST(Progress, AnUnfinishedLineIsEndedWhenTheRunEnds) {
  Drawn d;
  g_now = 0.0;
  {
    core::Progress p(printer_into(&d), core::Progress::Style::InPlace, test_clock, "driftwalk", "iterations", 10);
    g_now = 0.3;
    p.at_check_point(3);
  }
  EXPECT_EQ(d.text, "\rdriftwalk: 30% (3 of 10 iterations), 0.3 s elapsed, about 0.7 s left\n");
  EXPECT_EQ(d.flushes, 1);
  // Nothing drawn, nothing to end.
  Drawn none;
  { core::Progress p(printer_into(&none), core::Progress::Style::InPlace, test_clock, "driftwalk", "iterations", 10); }
  EXPECT_EQ(none.text, "");
}

TEST(Progress, PlainLinesForEachTenthPassed) {
  Drawn d;
  g_now = 0.0;
  core::Progress p(printer_into(&d), core::Progress::Style::PlainLines, test_clock, "splitavg", "samples", 1000);
  g_now = 1.0;
  p.at_check_point(50);   // under 10 %: nothing
  p.at_check_point(250);  // the 10 % and 20 % marks, the time left from the 250 done
  p.at_check_point(299);  // still 20 %: nothing
  g_now = 2.0;
  p.at_check_point(520);  // 30 .. 50 %
  g_now = 3.0;
  p.finish();  // the rest, up to 100 %
  EXPECT_EQ(d.text,
            "splitavg: 10% (100 of 1000 samples), 1.0 s elapsed, about 3.0 s left\n"
            "splitavg: 20% (200 of 1000 samples), 1.0 s elapsed, about 3.0 s left\n"
            "splitavg: 30% (300 of 1000 samples), 2.0 s elapsed, about 1.8 s left\n"
            "splitavg: 40% (400 of 1000 samples), 2.0 s elapsed, about 1.8 s left\n"
            "splitavg: 50% (500 of 1000 samples), 2.0 s elapsed, about 1.8 s left\n"
            "splitavg: 60% (600 of 1000 samples), 3.0 s elapsed\n"
            "splitavg: 70% (700 of 1000 samples), 3.0 s elapsed\n"
            "splitavg: 80% (800 of 1000 samples), 3.0 s elapsed\n"
            "splitavg: 90% (900 of 1000 samples), 3.0 s elapsed\n"
            "splitavg: 100% (1000 of 1000 samples), 3.0 s elapsed\n");

  // A total that the tenths do not divide: each line at the first count past its mark, never
  // showing less than the tenth it stands for.
  Drawn odd;
  g_now = 0.0;
  core::Progress q(printer_into(&odd), core::Progress::Style::PlainLines, test_clock, "driftwalk", "iterations", 25);
  g_now = 1.0;
  q.at_check_point(2);  // 8 %: nothing
  EXPECT_EQ(odd.text, "");
  q.at_check_point(8);  // the 10 %, 20 % and 30 % marks
  EXPECT_EQ(odd.text,
            "driftwalk: 12% (3 of 25 iterations), 1.0 s elapsed, about 2.1 s left\n"
            "driftwalk: 20% (5 of 25 iterations), 1.0 s elapsed, about 2.1 s left\n"
            "driftwalk: 32% (8 of 25 iterations), 1.0 s elapsed, about 2.1 s left\n");

  // Fewer than ten steps: the marks on one count share its line, and 100 % is shown once.
  Drawn few;
  g_now = 0.0;
  core::Progress r(printer_into(&few), core::Progress::Style::PlainLines, test_clock, "kinkstep", "steps", 3);
  g_now = 1.0;
  r.at_check_point(1);
  r.finish();
  EXPECT_EQ(few.text,
            "kinkstep: 33% (1 of 3 steps), 1.0 s elapsed, about 2.0 s left\n"
            "kinkstep: 66% (2 of 3 steps), 1.0 s elapsed\n"
            "kinkstep: 100% (3 of 3 steps), 1.0 s elapsed\n");
}

TEST(Progress, DrivenByTheStopChecksQuestions) {
  Drawn d;
  g_now = 0.0;
  core::Progress p(printer_into(&d), core::Progress::Style::InPlace, test_clock, "kinkstep", "steps", 100);
  core::StopCheck stop;
  stop.show_progress(&p);
  g_now = 1.0;
  // Work below a question's worth asks nothing, so nothing is drawn.
  EXPECT_FALSE(stop.poll(10, 7));
  EXPECT_EQ(d.text, "");
  EXPECT_FALSE(stop.poll(core::StopCheck::kWorkPerQuestion, 8));
  EXPECT_EQ(d.text, "\rkinkstep: 8% (8 of 100 steps), 1.0 s elapsed, about 11.5 s left");
  // A question without a count (an objective's) draws the last count given.
  g_now = 2.0;
  EXPECT_FALSE(stop.should_stop());
  EXPECT_EQ(d.text.substr(d.text.rfind('\r')), "\rkinkstep: 8% (8 of 100 steps), 2.0 s elapsed, about 23.0 s left");
}

TEST(Progress, InsideAParallelRegionAnUpdateIsOnlyNoted) {
  Drawn d;
  g_now = 0.0;
  core::Progress p(printer_into(&d), core::Progress::Style::InPlace, test_clock, "splitavg", "samples", 100);
  g_now = 1.0;
#pragma omp parallel num_threads(1)
  { p.at_check_point(40); }
  EXPECT_EQ(d.text, "");
  EXPECT_TRUE(p.wanted());
  p.update(40);
  EXPECT_FALSE(p.wanted());
  EXPECT_EQ(d.text, "\rsplitavg: 40% (40 of 100 samples), 1.0 s elapsed, about 1.5 s left");
}
