// The model's three decisions, every phase against every input: the table lists the cases that
// act; every other pair must leave the status alone and do nothing.

#include <gtest/gtest.h>

#include "app/model/Transitions.h"

namespace {

using namespace brisvale;
using Action = PolicyAction;

enum class Input { on, off, toRW, toRWCannot, toRO, ready, readyNoWrite, busy, failed, locked };

const std::vector<DevicePhase> phases = {phase::Busy{"adb"},    phase::Mounted{"/v/P", "loop7"},
                                         phase::Failed{"boom"}, phase::NotMounted{},
                                         phase::Preparing{},    phase::Locked{},
                                         phase::Mounting{},     phase::Unmounting{},
                                         phase::ChargingOnly{}};
enum : size_t { busy, mounted, failed, notMounted, preparing, locked };

// Every flag set where the input allows it, so that a field a transition must clear shows.
DeviceStatus before(const DevicePhase& p, Input input) {
    const bool writable =
        input != Input::toRW && input != Input::ready && input != Input::toRWCannot;
    return {p, true, 1, 2, writable, input != Input::toRWCannot, true, true};
}

Transition decide(const DeviceStatus& s, Input input) {
    switch (input) {
        case Input::on:
            return mountRequest(s, true);
        case Input::off:
            return mountRequest(s, false);
        case Input::toRW:
        case Input::toRWCannot:
            return writableRequest(s, true);
        case Input::toRO:
            return writableRequest(s, false);
        case Input::ready:
            return probeResult(s, preflight::Ready{5, 9, true});
        case Input::readyNoWrite:
            return probeResult(s, preflight::Ready{5, 9, false});
        case Input::busy:
            return probeResult(s, preflight::Busy{"gvfsd-mtp"});
        case Input::failed:
            return probeResult(s, preflight::Failed{"no session"});
        case Input::locked:
            return probeResult(s, preflight::Locked{});
    }
    return {};
}

struct Acts {
    Input input;
    std::vector<size_t> from;  // indexes into `phases`
    Transition to;
};

// Status fields: phase, userEjected, free, capacity, writable, canWrite, remounting,
// switchRefused.
const std::vector<Acts> table = {
    {Input::on,
     {busy, failed, notMounted, locked},
     {{phase::Preparing{}, false, 1, 2, false, true, true, false}, Action::preflight}},
    {Input::off,
     {mounted},
     {{phase::Unmounting{}, true, 1, 2, true, true, true, true}, Action::unmount}},
    {Input::off,
     {busy, failed, preparing, locked},
     {{phase::NotMounted{}, true, 1, 2, false, true, false, true}, Action::none}},
    {Input::toRW,
     {mounted},
     {{phase::Unmounting{}, true, 1, 2, true, true, true, false}, Action::remount}},
    {Input::toRO,
     {mounted},
     {{phase::Unmounting{}, true, 1, 2, false, true, true, false}, Action::remount}},
    {Input::ready,
     {busy, preparing, locked},
     {{phase::Mounting{}, true, 5, 9, false, true, true, true}, Action::mount}},
    {Input::readyNoWrite,
     {busy, preparing, locked},
     {{phase::Mounting{}, true, 5, 9, false, false, true, true}, Action::mount}},
    {Input::busy,
     {busy, preparing, locked},
     {{phase::Busy{"gvfsd-mtp"}, true, 1, 2, false, true, false, true}, Action::none}},
    {Input::failed,
     {busy, preparing, locked},
     {{phase::Failed{"no session"}, true, 1, 2, false, true, false, true}, Action::none}},
    {Input::locked,
     {busy, preparing, locked},
     {{phase::Locked{}, true, 1, 2, false, true, false, true}, Action::none}},
};

class EveryPhase : public ::testing::TestWithParam<std::tuple<size_t, Input>> {};

TEST_P(EveryPhase, ActsOnlyWhereTheTableSays) {
    const auto [index, input] = GetParam();
    const DeviceStatus status = before(phases[index], input);
    Transition expected{status, Action::none};
    for (const Acts& acts : table) {
        if (acts.input == input && std::count(acts.from.begin(), acts.from.end(), index)) {
            expected = acts.to;
        }
    }
    const Transition got = decide(status, input);
    EXPECT_EQ(got.action, expected.action);
    EXPECT_EQ(got.status, expected.status) << describe(got.status.phase);
}

INSTANTIATE_TEST_SUITE_P(
    Table, EveryPhase,
    ::testing::Combine(::testing::Range<size_t>(0, 9),
                       ::testing::Values(Input::on, Input::off, Input::toRW, Input::toRWCannot,
                                         Input::toRO, Input::ready, Input::readyNoWrite,
                                         Input::busy, Input::failed, Input::locked)));

}  // namespace
