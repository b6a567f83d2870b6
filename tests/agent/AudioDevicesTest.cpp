#include "AudioDevices.h"

#include "AgentError.h"
#include "FakeAudioBackend.h"

#include <gtest/gtest.h>

namespace {

constexpr AudioBackend::DeviceId A = 3, B = 5, C = 9, D = 12;

struct Case {
    const char* name;
    std::function<void(FakeAudioBackend&)> setUp; // starts from A, B, C named, default B
    QString expected;                             // the result, or the refusal's message
    std::vector<AudioBackend::DeviceId> requested;
    std::optional<AudioBackend::DeviceId> defaultAfter;
    bool streamsFollow = false;
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

class CycleDefault : public testing::TestWithParam<Case> {};

TEST_P(CycleDefault, Walks) {
    const Case& c = GetParam();
    FakeAudioBackend audio;
    audio.all = {A, B, C};
    audio.names = {{A, "Speakers"}, {B, "Headset"}, {C, "HDMI"}};
    audio.current = B;
    c.setUp(audio);

    QString outcome;
    try {
        outcome = AudioDevices::cycleDefault(audio, AudioDevices::Scope::Output);
    } catch (const AgentError& error) {
        outcome = error.message();
    }
    EXPECT_EQ(outcome.toStdString(), c.expected.toStdString());
    EXPECT_EQ(audio.requested, c.requested);
    EXPECT_EQ(audio.current, c.defaultAfter);
    // Streams follow exactly the switch that took effect.
    EXPECT_EQ(audio.followed, c.streamsFollow ? std::vector{*c.defaultAfter}
                                              : std::vector<AudioBackend::DeviceId>{});
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, CycleDefault, testing::Values(
    Case{"NextAfterDefault", [](FakeAudioBackend&) {}, QStringLiteral("HDMI"), {C}, C, true},
    Case{"WrapsToFirst", [](FakeAudioBackend& a) { a.current = C; }, QStringLiteral("Speakers"), {A}, A, true},
    Case{"ReadBackMissesThenNext", [](FakeAudioBackend& a) { a.ignored = {C}; }, QStringLiteral("Speakers"), {C, A}, A, true},
    Case{"NoSwitchTakesEffect", [](FakeAudioBackend& a) { a.ignored = {C, A}; }, QStringLiteral("no other switchable device (Headset kept)"), {C, A}, B},
    Case{"RefusedSwitchStopsTheWalk", [](FakeAudioBackend& a) { a.refused = {C}; }, QStringLiteral("Could not switch the default device"), {C}, B},
    Case{"DefaultOutsideListStartsAtFirst", [](FakeAudioBackend& a) { a.current = D; }, QStringLiteral("Speakers"), {A}, A, true},
    Case{"UnreadableDefaultIsFirstAndReadBackNeverConfirms", [](FakeAudioBackend& a) { a.defaultFails = true; }, QStringLiteral("no other switchable device (Speakers kept)"), {B, C}, C},
    Case{"NamelessNewDefault", [](FakeAudioBackend& a) { a.names.erase(C); }, QStringLiteral("device 9"), {C}, C, true},
    Case{"NamelessKeptDefault", [](FakeAudioBackend& a) { a.ignored = {C, A}; a.names.clear(); }, QStringLiteral("no other switchable device (current kept)"), {C, A}, B},
    Case{"SingleDeviceLeavesDefault", [](FakeAudioBackend& a) { a.all = {A}; }, QStringLiteral("only one device: Speakers"), {}, B},
    Case{"SingleNamelessDevice", [](FakeAudioBackend& a) { a.all = {D, A}; a.silent = {A}; }, QStringLiteral("only one device: unknown"), {}, B},
    Case{"NoDeviceWithStreams", [](FakeAudioBackend& a) { a.silent = {A, B, C}; }, QStringLiteral("No audio devices found"), {}, B},
    Case{"ListUnreadable", [](FakeAudioBackend& a) { a.listFails = true; }, QStringLiteral("Could not list audio devices"), {}, B}));
// clang-format on

} // namespace
