#pragma once
// Collision reflexes during the suite. Every GoogleTest executable links a
// listener that counts the reflexes each test saw (all controllers of the
// process together). A test that did not declare them appends the line
// "SUITE.TEST: N reflexes" to the file KAV_REFLEX_REPORT names (when set)
// and prints it: with low thresholds a false reflex anywhere must be seen.

namespace kav_test {

/// Declares that the running test provokes collision reflexes on purpose
/// (pushes, obstacles, external torques, tiny thresholds): its reflexes are
/// not reported. Call it at the test's start.
void expectReflexes();

}  // namespace kav_test
