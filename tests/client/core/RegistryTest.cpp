#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "LoopbackPeer.h"
#include "TestProtocol.h"

using com_nax::CSClient;
using com_nax::CSClientProtocol;
using coretest::TestClient;
using coretest::TestCode;

namespace {

CSClient::InputDef in(const std::string& id, int rate = 0) {
    return CSClient::InputDef{id, CSClient::PARAM_FLOAT, rate};
}

CSClient::OutputDef out(const std::string& id, CSClient::ParameterType type = CSClient::PARAM_INT) {
    return CSClient::OutputDef{id, type};
}

struct Registry : testing::Test {
    TestClient client{0};
    coretest::TestProtocol& engine = *client.engine;

    CSClient::Result registerInputs(const std::vector<CSClient::InputDef>& defs, std::string* err) {
        testing::internal::CaptureStderr();
        const CSClient::Result result = client.registerInputParameters(defs);
        *err = testing::internal::GetCapturedStderr();
        return result;
    }
};

}  // namespace

TEST_F(Registry, DuplicateInOneCallIsCaughtBeforeEntering) {
    std::string err;
    EXPECT_EQ(registerInputs({in("A"), in("B"), in("A")}, &err), CSClient::RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(err, "Parameter 'A' is requested more than once in the same subscription call.\n");
    EXPECT_EQ(engine.getNumberOfInputParameters(false), 0u);

    EXPECT_EQ(registerInputs({in("B"), in("A"), in("A")}, &err), CSClient::RESULT_INVALID_ARGUMENT);
    EXPECT_TRUE(engine.hasInputParameter("B", false));
    EXPECT_FALSE(engine.hasInputParameter("A", false));
    EXPECT_EQ(engine.getNumberOfInputParametersWaitingForConfirmation(), 1u);
    EXPECT_TRUE(engine.hooks().empty()) << "no request may be sent for a refused call";

    EXPECT_EQ(registerInputs({in("A"), in("B")}, &err), CSClient::RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(err, "Parameter 'B' already registered.\n");
    EXPECT_TRUE(engine.hasInputParameter("A", false));
    EXPECT_TRUE(engine.hooks().empty());
}

TEST_F(Registry, IdLengthAndTypeChecks) {
    std::string err;
    const std::string id31(31, 'x');
    const std::string id32(32, 'y');
    EXPECT_EQ(registerInputs({in(id31)}, &err), CSClient::RESULT_OK);
    EXPECT_EQ(registerInputs({in(id32)}, &err), CSClient::RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(err, "Length of parameter id string '" + id32 + "' exceeds maximum 32\n");
    EXPECT_EQ(registerInputs({CSClient::InputDef{"T", CSClient::PARAM_INVALID, 0}}, &err),
              CSClient::RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(err, "Subscription type of parameter id string 'T' is invalid!\n");

    testing::internal::CaptureStderr();
    EXPECT_EQ(client.registerOutputParameter(out("O", CSClient::PARAM_INVALID)),
              CSClient::RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Invalid parameter type for output id string 'O'!\n");

    TestClient quiet(com_nax::OPTION_QUIET);
    testing::internal::CaptureStderr();
    EXPECT_EQ(quiet.registerOutputParameter(out(id32)), CSClient::RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    ASSERT_EQ(engine.hooks().size(), 1u);
    EXPECT_EQ(engine.hooks()[0].first, coretest::CODE_INPUT_SUB);
    EXPECT_EQ(engine.hooks()[0].second, std::vector<std::string>{id31});
}

TEST_F(Registry, PublishIsAllOrNothingAndStoresValueBytes) {
    ASSERT_EQ(client.registerOutputParameters({out("A"), out("B", CSClient::PARAM_FLOAT)}),
              CSClient::RESULT_OK);
    const std::vector<CSClient::Parameter> mixed = {CSClient::Parameter::makeInt("A", 7),
                                                    CSClient::Parameter::makeInt("Z", 1)};
    testing::internal::CaptureStderr();
    EXPECT_EQ(client.publishParameters(mixed), CSClient::RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unknown parameter ID: Z\n");
    CSClient::Parameter found;
    ASSERT_TRUE(client.findPublishedParameter("A", found));
    EXPECT_EQ(found.value.intValue, 0) << "a refused publish stored a value";
    EXPECT_EQ(found.type, CSClient::PARAM_INT);

    EXPECT_EQ(client.publishParameter(CSClient::Parameter::makeFloat("B", 2.5f, true)),
              CSClient::RESULT_OK);
    EXPECT_EQ(engine.lastPublishMode.load(), CSClientProtocol::PUBLISH_NORMAL);
    ASSERT_TRUE(client.findPublishedParameter("B", found));
    EXPECT_FLOAT_EQ(found.value.floatValue, 2.5f);
    EXPECT_TRUE(found.override);
    EXPECT_FALSE(client.findPublishedParameter("Z", found));

    std::vector<CSClient::Parameter> all(2);
    client.getAllPublishedParameters(all);
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[2].id, "A");
    EXPECT_EQ(all[3].id, "B");
    EXPECT_EQ(all[3].type, CSClient::PARAM_FLOAT);
}

TEST_F(Registry, UnregisterSendsOnlyConfirmedEntries) {
    ASSERT_EQ(client.registerInputParameters({in("A"), in("B"), in("C")}), CSClient::RESULT_OK);
    EXPECT_EQ(client.getNumberOfUnregisteredInputParameters(), 3u);
    EXPECT_FALSE(client.isInputParameterRegistered("A"));
    engine.confirmInput("A", 11);
    EXPECT_TRUE(client.isInputParameterRegistered("A"));
    EXPECT_EQ(client.getNumberOfRegisteredInputParameters(), 1u);

    EXPECT_EQ(client.unregisterInputParameter("never"), CSClient::RESULT_OK);
    EXPECT_EQ(client.unregisterInputParameters({"A", "B", "A"}), CSClient::RESULT_OK);
    const auto hooks = engine.hooks();
    ASSERT_EQ(hooks.size(), 2u) << "one subscription, one unsubscription of A only";
    EXPECT_EQ(hooks[1].first, coretest::CODE_INPUT_UNSUB);
    EXPECT_EQ(hooks[1].second, std::vector<std::string>{"A"});
    EXPECT_EQ(engine.getNumberOfInputParameters(false), 1u);
    EXPECT_EQ(engine.getNumberOfInputParameters(true), 0u);
    EXPECT_EQ(client.unregisterAllInputParameters(), CSClient::RESULT_OK);
    EXPECT_EQ(engine.getNumberOfInputParameters(false), 0u);
}

namespace {

// Keeps every update as (name, value) pairs.
struct UpdateRecorder : CSClient::CallbackIface {
    std::vector<std::vector<std::pair<std::string, float>>> updates;
    void connectionStateChanged(CSClient::State, CSClient::State) override {}
    void parametersUpdated(const std::vector<CSClient::Parameter>& parameters) override {
        updates.emplace_back();
        for (const auto& p : parameters) {
            updates.back().emplace_back(p.id, p.type == CSClient::PARAM_INT
                                                  ? static_cast<float>(p.value.intValue)
                                                  : p.value.floatValue);
        }
    }
};

using Update = std::vector<std::pair<std::string, float>>;

}  // namespace

// The engine keeps each update's list and look-ups for the next one; what it
// delivers must still follow every change of the registry in between.
TEST_F(Registry, UpdatesFollowTheRegistryAsItChanges) {
    UpdateRecorder recorder;
    ASSERT_TRUE(engine.addCallbackInterface(&recorder));
    ASSERT_EQ(client.registerInputParameters({in("A"), in("B"), in("C")}), CSClient::RESULT_OK);
    engine.confirmInput("A", 1);
    engine.confirmInput("B", 2);

    engine.deliver({{1, 1.5f}, {2, 2.5f}, {3, 9.0f}});  // 3: not confirmed, dropped
    engine.deliver({{2, 3.5f}, {1, 4.5f}});             // the same ids in another order
    engine.deliver({{3, 9.0f}});                        // nothing known: no call
    // B goes; C is confirmed under B's old id, so the same record now names C.
    ASSERT_EQ(client.unregisterInputParameter("B"), CSClient::RESULT_OK);
    engine.confirmInput("C", 2);
    engine.deliver({{2, 5.5f}, {1, 6.5f}});
    // A goes and a new A is registered: the same name again, a new entry.
    ASSERT_EQ(client.unregisterInputParameter("A"), CSClient::RESULT_OK);
    engine.deliver({{2, 7.5f}, {1, 8.5f}});
    ASSERT_EQ(client.registerInputParameters({in("A")}), CSClient::RESULT_OK);
    engine.confirmInput("A", 1);
    engine.deliver({{1, 9.5f}});

    const std::vector<Update> expected = {
        {{"A", 1.5f}, {"B", 2.5f}},
        {{"B", 3.5f}, {"A", 4.5f}},
        {{"C", 5.5f}, {"A", 6.5f}},
        {{"C", 7.5f}},
        {{"A", 9.5f}},
    };
    EXPECT_EQ(recorder.updates, expected);
    engine.removeCallbackInterface(&recorder);
}

// An update larger than what the engine keeps between updates is delivered
// whole, and the updates after it are built afresh.
TEST_F(Registry, AnUpdateBeyondWhatIsKeptIsDeliveredAndForgotten) {
    UpdateRecorder recorder;
    ASSERT_TRUE(engine.addCallbackInterface(&recorder));
    ASSERT_EQ(client.registerInputParameters({in("A"), in("B")}), CSClient::RESULT_OK);
    engine.confirmInput("A", 1);
    engine.confirmInput("B", 2);
    std::vector<std::pair<uint32_t, float>> huge;
    for (int i = 0; i < 5000; ++i) {
        huge.emplace_back(i % 3 == 2 ? 7u : 1u + i % 3, static_cast<float>(i));  // 7: unknown
    }
    engine.deliver(huge);
    engine.deliver({{2, 0.5f}, {1, 0.25f}});
    ASSERT_EQ(recorder.updates.size(), 2u);
    const Update& first = recorder.updates[0];
    ASSERT_EQ(first.size(), 3334u);  // two of every three records are known
    EXPECT_EQ(first[0], std::make_pair(std::string("A"), 0.0f));
    EXPECT_EQ(first[1], std::make_pair(std::string("B"), 1.0f));
    EXPECT_EQ(first.back(), std::make_pair(std::string("B"), 4999.0f));
    EXPECT_EQ(recorder.updates[1], (Update{{"B", 0.5f}, {"A", 0.25f}}));
    engine.removeCallbackInterface(&recorder);
}

// Each value carries its input's tag, also when a record's id comes to name
// another input and after the inputs are registered again.
TEST_F(Registry, ValuesCarryTheirInputsTag) {
    struct TagRecorder : CSClient::CallbackIface {
        std::vector<std::vector<const void*>> updates;
        void connectionStateChanged(CSClient::State, CSClient::State) override {}
        void parametersUpdated(const std::vector<CSClient::Parameter>& parameters) override {
            updates.emplace_back();
            for (const auto& p : parameters) {
                updates.back().push_back(p.tag);
            }
        }
    } recorder;
    ASSERT_TRUE(engine.addCallbackInterface(&recorder));
    const int rows[3] = {};
    CSClient::InputDef a = in("A"), b = in("B"), c = in("C");
    a.tag = &rows[0];
    b.tag = &rows[1];
    c.tag = &rows[2];
    ASSERT_EQ(client.registerInputParameters({a, b, c}), CSClient::RESULT_OK);
    engine.confirmInput("A", 1);
    engine.confirmInput("B", 2);
    engine.deliver({{1, 1.f}, {2, 2.f}});
    ASSERT_EQ(client.unregisterInputParameter("B"), CSClient::RESULT_OK);
    engine.confirmInput("C", 2);
    engine.deliver({{1, 1.f}, {2, 2.f}});
    testing::internal::CaptureStdout();
    engine.reregisterAllInputParameters();
    testing::internal::GetCapturedStdout();
    engine.confirmInput("C", 1);
    engine.confirmInput("A", 2);
    engine.deliver({{1, 1.f}, {2, 2.f}});

    const std::vector<std::vector<const void*>> expected = {
        {&rows[0], &rows[1]}, {&rows[0], &rows[2]}, {&rows[2], &rows[0]}};
    EXPECT_EQ(recorder.updates, expected);
    engine.removeCallbackInterface(&recorder);
}

TEST_F(Registry, ReregistrationRenewsInputsAndKeepsOutputs) {
    ASSERT_EQ(client.registerInputParameters({in("B", 1), in("A", 3)}), CSClient::RESULT_OK);
    ASSERT_EQ(client.registerOutputParameter(out("O")), CSClient::RESULT_OK);
    engine.confirmInput("A", 5);
    engine.confirmOutput("O", 9);
    testing::internal::CaptureStdout();
    engine.reregisterAllInputParameters();
    engine.reregisterAllOutputParameters();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Registering 2 input parameters with server...\n"
              "Registering 1 output parameters with server...\n");
    EXPECT_EQ(engine.getNumberOfInputParametersWaitingForConfirmation(), 2u);
    EXPECT_FALSE(engine.hasInputParameter("A", true));
    EXPECT_EQ(engine.outputServerId("O"), 9u);
    EXPECT_TRUE(engine.hasOutputParameter("O", true));
    const auto hooks = engine.hooks();
    ASSERT_EQ(hooks.size(), 4u);
    EXPECT_EQ(hooks[2].first, coretest::CODE_INPUT_SUB);
    EXPECT_EQ(hooks[2].second, (std::vector<std::string>{"A", "B"})) << "id order";
    EXPECT_EQ(hooks[3].first, coretest::CODE_OUTPUT_SUB);

    engine.unregisterAllLocalParameters();
    EXPECT_EQ(engine.getNumberOfInputParameters(false), 0u);
    EXPECT_EQ(engine.getNumberOfOutputParameters(false), 0u);
    EXPECT_EQ(engine.hooks().size(), 4u) << "the local clear tells the server nothing";
}

TEST(Client, FacadeBasics) {
    EXPECT_STREQ(CSClient::getClientVersion(), "2-1-50-0");
    TestClient client(5);
    client.setTimings(coretest::fastTimings());
    EXPECT_EQ(client.getOptions(), 5u);
    EXPECT_TRUE(client.hasOptions(com_nax::OPTION_AUTO_RECONNECT | 4));
    EXPECT_FALSE(client.hasOptions(com_nax::OPTION_QUIET));
    EXPECT_EQ(client.getServerVersion(), "UNKNOWN");
    EXPECT_EQ(client.getProtocolVersion(), 0u);
    EXPECT_EQ(client.registerInputParameters(std::vector<CSClient::InputDef>()),
              CSClient::RESULT_OK);
    EXPECT_EQ(client.publishParameters(std::vector<CSClient::Parameter>()), CSClient::RESULT_OK);
    EXPECT_TRUE(client.engine->hooks().empty()) << "empty lists must send nothing";

    EXPECT_TRUE(client.waitForInputsToBeRegistered(3)) << "0 of 0 inputs are all confirmed";
    ASSERT_EQ(client.registerInputParameter(in("A")), CSClient::RESULT_OK);
    client.engine->confirmInput("A", 1);
    EXPECT_FALSE(client.waitForInputsToBeRegistered(0));
    EXPECT_TRUE(client.waitForInputsToBeRegistered(1));
    ASSERT_EQ(client.registerOutputParameter(out("O")), CSClient::RESULT_OK);
    EXPECT_FALSE(client.waitForOutputsToBeRegistered(2));
    EXPECT_EQ(client.getNumberOfUnregisteredOutputParameters(), 1u);

    coretest::StateRecorder recorder;
    EXPECT_TRUE(client.addCallbackInterface(&recorder));
    EXPECT_FALSE(client.addCallbackInterface(&recorder));
    EXPECT_EQ(client.getNumCallbackInterfaces(), 1u);
    std::set<CSClient::CallbackIface*> set = {nullptr};
    client.getCallbackInterfaces(set);
    EXPECT_EQ(set, std::set<CSClient::CallbackIface*>{&recorder});
    client.removeCallbackInterface(&recorder);
    EXPECT_FALSE(client.hasCallbackInterface(&recorder));
}

TEST(Client, DestructorWaitsForTheReceiveThread) {
    coretest::StateRecorder recorder;
    {
        TestClient client(com_nax::OPTION_AUTO_RECONNECT);
        client.setTimings(coretest::fastTimings());
        client.addCallbackInterface(&recorder);
        ASSERT_EQ(client.open("127.0.0.1", coretest::refusedPort(), nullptr), CSClient::RESULT_OK);
    }
    // The destructor returned: the final change was reported before it.
    ASSERT_FALSE(recorder.changes().empty());
    EXPECT_EQ(recorder.changes().back().second, CSClient::STATE_DISCONNECTED);
}
