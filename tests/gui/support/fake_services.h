// The run-wide services of the control utility, faked: a mock library, a settable clock, a
// scripted generator and a modal runner whose dialogs are driven by test scripts.
#pragma once

#include "dialog.h"
#include "fake_view.h"
#include "services.h"

#include <gmock/gmock.h>

#include <deque>
#include <functional>
#include <map>
#include <vector>

namespace vorngui::testing {

class MockBoardApi : public BoardApi {
public:
    MOCK_METHOD(uint8_t, open, (BoardHandle*, const char*), (override));
    MOCK_METHOD(uint8_t, close, (BoardHandle), (override));
    MOCK_METHOD(uint8_t, getTime, (BoardHandle, TimeObj*), (override));
    MOCK_METHOD(uint8_t, setTime, (BoardHandle, TimeObj*), (override));
    MOCK_METHOD(uint8_t, getDate, (BoardHandle, DateObj*), (override));
    MOCK_METHOD(uint8_t, setYear, (BoardHandle, uint16_t*), (override));
    MOCK_METHOD(uint8_t, getAltitude, (BoardHandle, AltObj*), (override));
    MOCK_METHOD(uint8_t, getLatitude, (BoardHandle, LongLat*), (override));
    MOCK_METHOD(uint8_t, getLongitude, (BoardHandle, LongLat*), (override));
    MOCK_METHOD(uint8_t, getSatInfo, (BoardHandle, SatObj*), (override));
    MOCK_METHOD(uint8_t, getFirmware, (BoardHandle, uint8_t*), (override));
    MOCK_METHOD(uint8_t, getFPGA, (BoardHandle, uint8_t*), (override));
    MOCK_METHOD(uint8_t, getDriver, (BoardHandle, char*), (override));
    MOCK_METHOD(uint8_t, setHeartbeat, (BoardHandle, HeartObj*), (override));
    MOCK_METHOD(uint8_t, setMatchTime, (BoardHandle, MatchObj*), (override));
    MOCK_METHOD(uint8_t, waitHeartbeat, (BoardHandle, uint32_t*), (override));
    MOCK_METHOD(uint8_t, waitMatch, (BoardHandle, uint32_t*), (override));
    MOCK_METHOD(uint8_t, waitEvent, (BoardHandle, EventObj*), (override));
    MOCK_METHOD(uint8_t, flushFIFO, (BoardHandle), (override));
    MOCK_METHOD(uint8_t, simEvent, (BoardHandle), (override));
    MOCK_METHOD(uint8_t, synchControl, (BoardHandle, uint8_t*), (override));
    MOCK_METHOD(uint8_t, synchStatus, (BoardHandle, uint8_t*), (override));
    MOCK_METHOD(uint8_t, setPropDelayCorr, (BoardHandle, int32_t*), (override));
};

// A clock that reads what the test set and sleeps without time passing.
class FakeClock : public SystemClock {
public:
    win32::SYSTEMTIME utcNow() override { return now; }
    uint32_t secondsNow() override { return seconds; }
    void sleep(uint32_t milliseconds) override { sleeps.push_back(milliseconds); }

    win32::SYSTEMTIME now{2024, 3, 5, 1, 12, 34, 56, 789};
    uint32_t seconds = 1'700'000'000;
    std::vector<uint32_t> sleeps;
};

// Values in the order the test gives them; past the end, 0.
class ScriptedRandom : public RandomSource {
public:
    void seed(uint32_t value) override { seeds.push_back(value); }
    int next() override;

    std::deque<int> values;
    std::vector<uint32_t> seeds;
    int draws = 0;
};

// Runs each dialog on a fresh FakeView: the opening, then the script registered for its
// template (if any), which plays the operator. Records every dialog run.
class ScriptedRunner : public DialogRunner {
public:
    using Script = std::function<void(Dialog&, FakeView&)>;

    DialogResult runModal(Dialog& dialog) override;
    // Scripts for one template are used in the order given; the last one repeats.
    void script(int templateId, Script script) {
        m_scripts[templateId].push_back(std::move(script));
    }

    std::vector<int> ranTemplates;
    // The views of the dialogs run, in order, kept for inspection.
    std::vector<FakeView> views;

private:
    std::map<int, std::deque<Script>> m_scripts;
};

// Everything a dialog needs, faked, with the Services record pointing at it.
struct FakeServices {
    ::testing::NiceMock<MockBoardApi> board;
    FakeClock clock;
    ScriptedRandom random;
    ProcessState process;
    ScriptedRunner runner;
    Services services{board, clock, random, process, runner};
};

} // namespace vorngui::testing
