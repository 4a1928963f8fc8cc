// The stand-in embedder's contract that the host relies on: one response per call, channels that
// outlive their engine, ownership of values, and the Dart-side socket's value forms.
#include <flutter_linux/flutter_linux.h>
#include <flutter_standin/testing.h>
#include <gtest/gtest.h>

#include "host_harness.h"
#include "log_capture.h"

namespace {

using corvel_test::DartDriver;
using corvel_test::LogCapture;
using corvel_test::TempDir;
using flutter_standin::CallFromDart;
using flutter_standin::DartCallRecorder;

FlMethodChannel* NewChannel(FlEngine* engine, const char* name) {
  g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
  return fl_method_channel_new(fl_engine_get_binary_messenger(engine), name,
                               FL_METHOD_CODEC(codec));
}

// Answers every call with its own arguments.
void EchoHandler(FlMethodChannel*, FlMethodCall* call, gpointer) {
  g_autoptr(FlMethodResponse) response =
      FL_METHOD_RESPONSE(fl_method_success_response_new(fl_method_call_get_args(call)));
  fl_method_call_respond(call, response, nullptr);
}

TEST(FlutterStandinTest, SecondResponseToOneCallIsRefused) {
  g_autoptr(FlEngine) engine = flutter_standin::NewTestEngine();
  g_autoptr(FlMethodChannel) channel = NewChannel(engine, "test/twice");
  struct Outcome {
    gboolean first = FALSE;
    gboolean second = TRUE;
    GError* second_error = nullptr;
  } outcome;
  fl_method_channel_set_method_call_handler(
      channel,
      [](FlMethodChannel*, FlMethodCall* call, gpointer data) {
        auto* outcome = static_cast<Outcome*>(data);
        g_autoptr(FlMethodResponse) first =
            FL_METHOD_RESPONSE(fl_method_success_response_new(nullptr));
        g_autoptr(FlMethodResponse) second =
            FL_METHOD_RESPONSE(fl_method_not_implemented_response_new());
        outcome->first = fl_method_call_respond(call, first, nullptr);
        outcome->second = fl_method_call_respond(call, second, &outcome->second_error);
      },
      &outcome, nullptr);
  g_autoptr(FlMethodResponse) response =
      CallFromDart(fl_engine_get_binary_messenger(engine), "test/twice", "m", nullptr);
  g_autoptr(GError) second_error = outcome.second_error;
  EXPECT_TRUE(outcome.first);
  EXPECT_FALSE(outcome.second);
  EXPECT_NE(second_error, nullptr);
  // The caller got the first response, not the refused one.
  EXPECT_TRUE(FL_IS_METHOD_SUCCESS_RESPONSE(response));
}

// A call that a handler drops without answering leaves the Dart side waiting for ever; the
// embedder reports it once the call is released, and only then.
TEST(FlutterStandinTest, CallReleasedWithoutResponseIsReported) {
  struct Case {
    const char* label;
    FlMethodChannelMethodCallHandler handler;
    bool reported;
  };
  const Case cases[] = {
      {.label = "answered", .handler = EchoHandler, .reported = false},
      {.label = "dropped",
       .handler = [](FlMethodChannel*, FlMethodCall*, gpointer) {},
       .reported = true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    g_autoptr(FlEngine) engine = flutter_standin::NewTestEngine();
    g_autoptr(FlMethodChannel) channel = NewChannel(engine, "test/answer");
    fl_method_channel_set_method_call_handler(channel, c.handler, nullptr, nullptr);
    LogCapture log(G_LOG_LEVEL_MASK, LogCapture::Scope::kAllDomains);
    // The dropped call never gets a response; a short wait for it is enough.
    g_autoptr(FlMethodResponse) response =
        CallFromDart(fl_engine_get_binary_messenger(engine), "test/answer", "quiet", nullptr,
                     flutter_standin::ReplyLink::kOpen, c.reported ? 50 : 5000);
    EXPECT_EQ(response == nullptr, c.reported);
    if (!c.reported) {
      EXPECT_TRUE(log.lines().empty());
      continue;
    }
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].level, G_LOG_LEVEL_CRITICAL);
    EXPECT_NE(log.lines()[0].message.find("\"quiet\""), std::string::npos)
        << log.lines()[0].message;
  }
}

TEST(FlutterStandinTest, CallOnChannelWithoutHandlerIsNotImplemented) {
  g_autoptr(FlEngine) engine = flutter_standin::NewTestEngine();
  g_autoptr(FlMethodChannel) channel = NewChannel(engine, "test/silent");
  for (const char* name : {"test/silent", "test/absent"}) {
    SCOPED_TRACE(name);
    g_autoptr(FlMethodResponse) response =
        CallFromDart(fl_engine_get_binary_messenger(engine), name, "m", nullptr);
    EXPECT_TRUE(FL_IS_METHOD_NOT_IMPLEMENTED_RESPONSE(response));
  }
}

TEST(FlutterStandinTest, ChannelOutlivesItsEngineAndDropsLaterCalls) {
  FlEngine* engine = flutter_standin::NewTestEngine();
  g_autoptr(FlMethodChannel) channel = NewChannel(engine, "test/late");
  g_autoptr(FlBinaryMessenger) messenger =
      FL_BINARY_MESSENGER(g_object_ref(fl_engine_get_binary_messenger(engine)));
  g_object_add_weak_pointer(G_OBJECT(engine), reinterpret_cast<gpointer*>(&engine));
  {
    DartCallRecorder recorder(engine);
    fl_method_channel_invoke_method(channel, "before", nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(recorder.calls().size(), 1u);
    g_object_unref(engine);
  }
  EXPECT_EQ(engine, nullptr) << "the channel must not keep the engine alive";
  g_autoptr(FlValue) args = fl_value_new_string("after");
  fl_method_channel_invoke_method(channel, "after", args, nullptr, nullptr, nullptr);
  g_clear_object(&channel);  // Released after the engine, as the host does in dispose.
}

TEST(FlutterStandinTest, SuccessResponseHoldsItsOwnReference) {
  FlValue* value = fl_value_new_list();
  fl_value_append_take(value, fl_value_new_string("kept"));
  g_autoptr(FlMethodSuccessResponse) response = fl_method_success_response_new(value);
  fl_value_unref(value);
  FlValue* result = fl_method_success_response_get_result(response);
  ASSERT_EQ(fl_value_get_length(result), 1u);
  EXPECT_STREQ(fl_value_get_string(fl_value_get_list_value(result, 0)), "kept");
}

TEST(FlutterStandinTest, RecorderSeesCallsToDartWithTheirArguments) {
  g_autoptr(FlEngine) engine = flutter_standin::NewTestEngine();
  g_autoptr(FlMethodChannel) channel = NewChannel(engine, "test/out");
  DartCallRecorder recorder(engine);
  g_autoptr(FlValue) args = fl_value_new_map();
  fl_value_set_string_take(args, "down", fl_value_new_bool(true));
  fl_method_channel_invoke_method(channel, "keyEvent", args, nullptr, nullptr, nullptr);
  ASSERT_EQ(recorder.calls().size(), 1u);
  EXPECT_EQ(recorder.calls()[0].channel, "test/out");
  EXPECT_EQ(recorder.calls()[0].method, "keyEvent");
  ASSERT_NE(recorder.calls()[0].args, nullptr);
  EXPECT_TRUE(fl_value_equal(recorder.calls()[0].args.get(), args));
}

// Values crossing the Dart-side socket keep their type: ints stay ints, 30.0 stays a float.
TEST(FlutterStandinTest, SocketCarriesValuesBothWays) {
  TempDir dir;
  DartDriver driver;
  g_autoptr(GError) error = nullptr;
  std::string socket_path = dir.Child("dart.sock");
  ASSERT_TRUE(driver.Listen(socket_path, &error)) << error->message;
  g_setenv("FLUTTER_STANDIN_DART_SOCKET", socket_path.c_str(), TRUE);
  g_autoptr(FlDartProject) project = fl_dart_project_new();
  const char* arguments[] = {"--flag", "value", nullptr};
  fl_dart_project_set_dart_entrypoint_arguments(project, const_cast<char**>(arguments));
  g_autoptr(FlEngine) engine = fl_engine_new_headless(project);
  ASSERT_TRUE(fl_engine_start(engine, &error)) << error->message;
  g_unsetenv("FLUTTER_STANDIN_DART_SOCKET");
  g_autoptr(FlMethodChannel) channel = NewChannel(engine, "test/echo");
  fl_method_channel_set_method_call_handler(channel, EchoHandler, nullptr, nullptr);

  JsonObject* started = driver.WaitForEvent("started");
  EXPECT_EQ(corvel_test::StringListMember(started, "args"),
            (std::vector<std::string>{"--flag", "value"}));

  const std::string args =
      R"({"i":30,"f":30.0,"e":1e3,"b":true,"s":"x","n":null,"l":[1,"a",[]],"m":{"k":{}}})";
  JsonObject* result = driver.CallAndWait("test/echo", "echo", args);
  ASSERT_NE(result, nullptr);
  g_autofree gchar* echoed = json_to_string(json_object_get_member(result, "success"), FALSE);
  EXPECT_STREQ(
      echoed,
      R"({"i":30,"f":30.0,"e":1000.0,"b":true,"s":"x","n":null,"l":[1,"a",[]],"m":{"k":{}}})");

  JsonObject* absent = driver.CallAndWait("test/none", "m");
  ASSERT_NE(absent, nullptr);
  EXPECT_TRUE(json_object_get_boolean_member_with_default(absent, "not_implemented", FALSE));

  g_autoptr(FlValue) out = fl_value_new_float(2.5);
  fl_method_channel_invoke_method(channel, "pushed", out, nullptr, nullptr, nullptr);
  JsonObject* call = driver.WaitForEvent("call");
  ASSERT_NE(call, nullptr);
  EXPECT_EQ(corvel_test::StringMember(call, "channel"), "test/echo");
  EXPECT_EQ(corvel_test::StringMember(call, "method"), "pushed");
  EXPECT_DOUBLE_EQ(json_object_get_double_member(call, "args"), 2.5);
}

}  // namespace
