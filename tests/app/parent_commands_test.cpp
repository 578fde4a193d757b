// The answers to the parent's device commands come in the order of the commands, however
// long each waits for the engine, and an engine call that must see what earlier commands
// led to waits among them rather than holding the control loop.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "parent_commands.h"

using namespace std::chrono_literals;

namespace {

class AnswersTest : public ::testing::Test {
protected:
    bool idle = true;
    Answers::Clock::time_point t = Answers::Clock::time_point{} + 1h;
    std::vector<std::string> written;
    Answers answers{[this] { return idle; }, [this](const std::string& line) { written.push_back(line); },
                    [this] { return t; }};
};

TEST_F(AnswersTest, AnImmediateAnswerWaitsBehindOneThatWaitsForTheEngine) {
    idle = false;
    answers.afterEngine([] { return std::string("devices"); });
    answers.now("select error");
    answers.writeReady();
    EXPECT_TRUE(written.empty());
    t += 1s;
    answers.writeReady();
    EXPECT_TRUE(written.empty());

    idle = true;
    answers.writeReady();
    EXPECT_EQ(written, (std::vector<std::string>{"devices", "select error"}));
}

TEST_F(AnswersTest, AnAnswerTellsWhatIsInEffectOnceTheEngineIsIdleOrAfterFiveSeconds) {
    idle = false;
    std::string state = "before";
    answers.afterEngine([&] { return state; });
    answers.now("after");
    t += Answers::answerWait - 1ms;
    answers.writeReady();
    EXPECT_TRUE(written.empty());
    state = "still busy";
    t += 1ms;
    answers.writeReady();
    EXPECT_EQ(written, (std::vector<std::string>{"still busy", "after"}));
}

// A choice checked while "devices" is still listing waits among the answers: the control
// loop goes on, and the call's answer comes where the command came.
TEST_F(AnswersTest, ACallWaitsForTheEngineAndAnswersInItsPlace) {
    idle = false;
    std::vector<std::string> calls;
    answers.afterEngine([] { return std::string("devices"); });
    answers.afterEarlierCalls([&] {
        calls.push_back("select");
        answers.now("select error");
    });
    answers.now("watch");
    answers.writeReady();
    EXPECT_TRUE(calls.empty());
    EXPECT_TRUE(written.empty());

    // With the engine still busy after two seconds, the choice is checked against what is
    // known; its answer still waits behind the devices.
    t += Answers::callWait;
    answers.writeReady();
    EXPECT_EQ(calls, std::vector<std::string>{"select"});
    EXPECT_TRUE(written.empty());

    idle = true;
    answers.writeReady();
    EXPECT_EQ(written, (std::vector<std::string>{"devices", "select error", "watch"}));
}

// Engine calls are made in command order, each once the engine has finished what the one
// before it started, or two seconds after that one was made.
TEST_F(AnswersTest, CallsAreMadeInOrderEachAfterTheEngineSettledFromTheLast) {
    idle = false;
    std::vector<std::string> calls;
    answers.afterEarlierCalls([&] {
        calls.push_back("devices");
        answers.afterEngine([] { return std::string("devices answer"); });
    });
    answers.afterEarlierCalls([&] {
        calls.push_back("select");
        answers.afterEngine([] { return std::string("select answer"); });
    });
    answers.writeReady();
    EXPECT_TRUE(calls.empty());

    t += Answers::callWait;
    answers.writeReady();
    EXPECT_EQ(calls, std::vector<std::string>{"devices"});
    // The second call's two seconds run from the first call, not from its command.
    t += Answers::callWait - 1ms;
    answers.writeReady();
    EXPECT_EQ(calls, std::vector<std::string>{"devices"});
    EXPECT_TRUE(written.empty());

    idle = true;
    answers.writeReady();
    EXPECT_EQ(calls, (std::vector<std::string>{"devices", "select"}));
    EXPECT_EQ(written, (std::vector<std::string>{"devices answer", "select answer"}));
}

// After "exit" the control loop waits only for calls, and for two seconds at most; then
// what is still waiting tells what is in effect, up to a call that was never made.
TEST_F(AnswersTest, AtTheEndOnlyCallsAreWaitedForAndNotForLong) {
    idle = false;
    bool called = false;
    answers.afterEngine([] { return std::string("devices"); });
    EXPECT_TRUE(answers.readyToEnd()) << "no call waits";

    answers.afterEarlierCalls([&] {
        called = true;
        answers.now("select answer");
    });
    answers.now("after the call");
    t += Answers::callWait - 1ms;
    answers.writeReady();
    EXPECT_FALSE(answers.readyToEnd()) << "a call waits; the wait runs from the first asking";
    t += 1ms;
    EXPECT_TRUE(answers.readyToEnd());

    answers.finish();
    EXPECT_FALSE(called);
    EXPECT_EQ(written, std::vector<std::string>{"devices"});
    answers.writeReady();
    EXPECT_EQ(written, std::vector<std::string>{"devices"});
}

} // namespace
