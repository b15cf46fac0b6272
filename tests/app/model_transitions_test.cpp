// The model's three decisions, every phase against every input: a table of the cases that act;
// every other pair must leave the status alone and do nothing.

#include <functional>
#include <map>

#include <gtest/gtest.h>

#include "app/model/Transitions.h"

namespace {

using namespace brisvale;

enum class Input { mountOn, mountOff, toReadWrite, toReadWriteCannot, toReadOnly, ready,
                   readyNoWrite, busy, failed, locked };

const std::vector<DevicePhase> phases = {
    phase::Busy{"adb"}, phase::Mounted{"/v/P", "loop7"}, phase::Failed{"boom"},
    phase::NotMounted{}, phase::Preparing{}, phase::Locked{}, phase::Mounting{},
    phase::Unmounting{}, phase::ChargingOnly{}};

// Every flag set where the input allows it, so that a field a transition must clear shows.
DeviceStatus before(const DevicePhase& p, Input input) {
    DeviceStatus s{p, true, 1, 2, true, true, true, true};
    if (input == Input::toReadWrite || input == Input::ready) s.writable = false;
    if (input == Input::toReadWriteCannot) s.writable = s.canWrite = false;
    return s;
}

Transition decide(const DeviceStatus& s, Input input) {
    switch (input) {
        case Input::mountOn: return mountRequest(s, true);
        case Input::mountOff: return mountRequest(s, false);
        case Input::toReadWrite:
        case Input::toReadWriteCannot: return writableRequest(s, true);
        case Input::toReadOnly: return writableRequest(s, false);
        case Input::ready: return probeResult(s, preflight::Ready{5, 9, true});
        case Input::readyNoWrite: return probeResult(s, preflight::Ready{5, 9, false});
        case Input::busy: return probeResult(s, preflight::Busy{"gvfsd-mtp"});
        case Input::failed: return probeResult(s, preflight::Failed{"no session"});
        case Input::locked: return probeResult(s, preflight::Locked{});
    }
    return {};
}

using Change = std::function<void(DeviceStatus&)>;
struct Acts {
    std::vector<size_t> from;  // indexes into `phases`
    PolicyAction action;
    Change change;
};
enum : size_t { busy, mounted, failed, notMounted, preparing, locked };

Change probeGave(DevicePhase p) {
    return [p](DeviceStatus& s) { s.phase = p, s.writable = false, s.remounting = false; };
}
Change switched(bool writable) {
    return [writable](DeviceStatus& s) {
        s.phase = phase::Unmounting{}, s.writable = writable, s.remounting = true,
        s.switchRefused = false;
    };
}
Change readyWith(bool canWrite) {
    return [canWrite](DeviceStatus& s) {
        s.writable = canWrite && s.writable;
        s.phase = phase::Mounting{}, s.free = 5, s.capacity = 9, s.canWrite = canWrite;
    };
}

const std::map<Input, std::vector<Acts>> table = {
    {Input::mountOn, {{{busy, failed, notMounted, locked}, PolicyAction::preflight,
                       [](DeviceStatus& s) {
                           s.phase = phase::Preparing{}, s.userEjected = false, s.writable = false,
                           s.switchRefused = false;
                       }}}},
    {Input::mountOff, {{{mounted}, PolicyAction::unmount,
                        [](DeviceStatus& s) { s.phase = phase::Unmounting{}; }},
                       {{busy, failed, preparing, locked}, PolicyAction::none,
                        [](DeviceStatus& s) {
                            s.phase = phase::NotMounted{}, s.userEjected = true,
                            s.writable = false, s.remounting = false;
                        }}}},
    {Input::toReadWrite, {{{mounted}, PolicyAction::remount, switched(true)}}},
    {Input::toReadWriteCannot, {}},
    {Input::toReadOnly, {{{mounted}, PolicyAction::remount, switched(false)}}},
    {Input::ready, {{{busy, preparing, locked}, PolicyAction::mount, readyWith(true)}}},
    {Input::readyNoWrite, {{{busy, preparing, locked}, PolicyAction::mount, readyWith(false)}}},
    {Input::busy, {{{busy, preparing, locked}, PolicyAction::none, probeGave(phase::Busy{"gvfsd-mtp"})}}},
    {Input::failed, {{{busy, preparing, locked}, PolicyAction::none, probeGave(phase::Failed{"no session"})}}},
    {Input::locked, {{{busy, preparing, locked}, PolicyAction::none, probeGave(phase::Locked{})}}},
};

class EveryPhase : public ::testing::TestWithParam<std::tuple<size_t, Input>> {};

TEST_P(EveryPhase, ActsOnlyWhereTheTableSays) {
    const auto [index, input] = GetParam();
    const DeviceStatus status = before(phases[index], input);
    Transition expected{status, PolicyAction::none};
    for (const Acts& acts : table.at(input)) {
        if (std::find(acts.from.begin(), acts.from.end(), index) == acts.from.end()) continue;
        acts.change(expected.status);
        expected.action = acts.action;
    }
    const Transition got = decide(status, input);
    EXPECT_EQ(got.action, expected.action);
    EXPECT_EQ(got.status, expected.status) << describe(got.status.phase);
}

INSTANTIATE_TEST_SUITE_P(
    Table, EveryPhase,
    ::testing::Combine(::testing::Range<size_t>(0, 9),
                       ::testing::Values(Input::mountOn, Input::mountOff, Input::toReadWrite,
                                         Input::toReadWriteCannot, Input::toReadOnly,
                                         Input::ready, Input::readyNoWrite, Input::busy,
                                         Input::failed, Input::locked)));

}  // namespace
