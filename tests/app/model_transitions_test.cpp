// The model's decisions: the table lists the pairs that act; every other one does nothing.

#include <algorithm>
#include <functional>

#include <gtest/gtest.h>

#include "app/model/Transitions.h"

namespace {

using namespace brisvale;
using Action = PolicyAction;

enum class Input { on, off, toRW, toRWCannot, toRO, ready, readyNoWrite, busy, failed, locked };

using namespace phase;

const std::vector<DevicePhase> phases = {Busy{"adb"},    Mounted{"/v/P", "loop7"},
                                         Failed{"boom"}, NotMounted{},
                                         Preparing{},    Locked{},
                                         Mounting{},     Unmounting{},
                                         ChargingOnly{}};
enum : size_t { busy, mounted, failed, notMounted, preparing, locked };

// Every flag set where the input allows it, so that a field a transition must clear shows.
DeviceStatus before(const DevicePhase& p, Input input) {
    const bool writable =
        input != Input::toRW && input != Input::ready && input != Input::toRWCannot;
    return {p, true, 1, 2, writable, input != Input::toRWCannot, true, true};
}

// What each input asks of the model, in the order of Input.
using S = const DeviceStatus&;
const preflight::Ready ready{5, 9, true}, readyNoWrite{5, 9, false};
const std::function<Transition(S)> decide[] = {
    [](S s) { return mountRequest(s, true); },
    [](S s) { return mountRequest(s, false); },
    [](S s) { return writableRequest(s, true); },
    [](S s) { return writableRequest(s, true); },
    [](S s) { return writableRequest(s, false); },
    [](S s) { return probeResult(s, ready); },
    [](S s) { return probeResult(s, readyNoWrite); },
    [](S s) { return probeResult(s, preflight::Busy{"gvfsd-mtp"}); },
    [](S s) { return probeResult(s, preflight::Failed{"no session"}); },
    [](S s) { return probeResult(s, preflight::Locked{}); },
};

struct Acts {
    Input input;
    std::vector<size_t> from;  // indexes into `phases`
    Transition to;
};

constexpr bool T = true, F = false;
using I = Input;

// Status fields: phase, userEjected, free, capacity, writable, canWrite, remounting,
// switchRefused.
const std::vector<Acts> table = {
    {I::on,
     {busy, failed, notMounted, locked},
     {{Preparing{}, F, 1, 2, F, T, T, F}, Action::preflight}},
    {I::off, {mounted}, {{Unmounting{}, T, 1, 2, T, T, T, T}, Action::unmount}},
    {I::off,
     {busy, failed, preparing, locked},
     {{NotMounted{}, T, 1, 2, F, T, F, T}, Action::none}},
    {I::toRW, {mounted}, {{Unmounting{}, T, 1, 2, T, T, T, F}, Action::remount}},
    {I::toRO, {mounted}, {{Unmounting{}, T, 1, 2, F, T, T, F}, Action::remount}},
    {I::ready, {busy, preparing, locked}, {{Mounting{}, T, 5, 9, F, T, T, T}, Action::mount}},
    {I::readyNoWrite,
     {busy, preparing, locked},
     {{Mounting{}, T, 5, 9, F, F, T, T}, Action::mount}},
    {I::busy, {busy, preparing, locked}, {{Busy{"gvfsd-mtp"}, T, 1, 2, F, T, F, T}, Action::none}},
    {I::failed,
     {busy, preparing, locked},
     {{Failed{"no session"}, T, 1, 2, F, T, F, T}, Action::none}},
    {I::locked, {busy, preparing, locked}, {{Locked{}, T, 1, 2, F, T, F, T}, Action::none}},
};

class EveryPhase : public ::testing::TestWithParam<std::tuple<size_t, int>> {};

TEST_P(EveryPhase, ActsOnlyWhereTheTableSays) {
    const auto [index, inputIndex] = GetParam();
    const Input input = static_cast<Input>(inputIndex);
    const DeviceStatus status = before(phases[index], input);
    Transition expected{status, Action::none};
    for (const Acts& acts : table) {
        if (acts.input == input && std::count(acts.from.begin(), acts.from.end(), index))
            expected = acts.to;
    }
    const Transition got = decide[inputIndex](status);
    EXPECT_EQ(got.action, expected.action);
    EXPECT_EQ(got.status, expected.status) << describe(got.status.phase);
}

INSTANTIATE_TEST_SUITE_P(Table, EveryPhase,
                         ::testing::Combine(::testing::Range<size_t>(0, 9),
                                            ::testing::Range(0, int(std::size(decide)))));

}  // namespace
