// The "corvel/activity" handler on a stand-in engine, scanning fixture process directories.
#include <flutter_linux/flutter_linux.h>
#include <flutter_standin/testing.h>
#include <glib/gstdio.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "host_harness.h"
#include "log_capture.h"
#include "my_application_internal.h"

namespace {

using corvel_test::LogCapture;
using corvel_test::TempDir;
using flutter_standin::CallFromDart;
using flutter_standin::ReplyLink;

// A process directory entry of the fixture: its name and the content of its `comm` file, or no
// `comm` file at all.
struct FixtureEntry {
  std::string name;
  std::optional<std::string> comm;
};

class ActivityChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engine_ = flutter_standin::NewTestEngine();
    g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
    channel_ = fl_method_channel_new(fl_engine_get_binary_messenger(engine_), "corvel/activity",
                                     FL_METHOD_CODEC(codec));
    fl_method_channel_set_method_call_handler(channel_, activity_method_call_cb, nullptr, nullptr);
  }

  void TearDown() override {
    activity_set_proc_dir_for_testing(nullptr);
    g_clear_object(&channel_);
    g_clear_object(&engine_);
  }

  void MakeFixture(const std::vector<FixtureEntry>& entries) {
    for (const FixtureEntry& entry : entries) {
      std::string dir = proc_.Child(entry.name);
      ASSERT_EQ(g_mkdir(dir.c_str(), 0755), 0) << dir;
      if (entry.comm) {
        ASSERT_TRUE(g_file_set_contents((dir + "/comm").c_str(), entry.comm->data(),
                                        entry.comm->size(), nullptr));
      }
    }
    activity_set_proc_dir_for_testing(proc_.path().c_str());
  }

  FlMethodResponse* Call(const char* method, FlValue* args = nullptr,
                         ReplyLink link = ReplyLink::kOpen) {
    return CallFromDart(fl_engine_get_binary_messenger(engine_), "corvel/activity", method, args,
                        link);
  }

  // The names in a success response, sorted: the directory order is the file system's.
  static std::vector<std::string> SortedNames(FlMethodResponse* response) {
    std::vector<std::string> names;
    EXPECT_TRUE(FL_IS_METHOD_SUCCESS_RESPONSE(response));
    if (!FL_IS_METHOD_SUCCESS_RESPONSE(response)) return names;
    FlValue* list = fl_method_success_response_get_result(FL_METHOD_SUCCESS_RESPONSE(response));
    EXPECT_EQ(fl_value_get_type(list), FL_VALUE_TYPE_LIST);
    for (size_t i = 0; i < fl_value_get_length(list); ++i) {
      names.push_back(fl_value_get_string(fl_value_get_list_value(list, i)));
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  TempDir proc_;
  FlEngine* engine_ = nullptr;
  FlMethodChannel* channel_ = nullptr;
};

TEST_F(ActivityChannelTest, ListsCommandNamesOfWholePositiveDecimalEntries) {
  const std::string long_name(300, 'x');
  MakeFixture({
      {.name = "1", .comm = "init\n"},
      {.name = "42", .comm = "bash\n"},
      {.name = "43", .comm = "bash\n"},                    // Duplicates are kept.
      {.name = "44", .comm = "no-newline"},                // Taken whole.
      {.name = "45", .comm = "\n"},                        // Empty name: dropped.
      {.name = "46", .comm = ""},                          // Nothing to read: dropped.
      {.name = "47", .comm = "two\nlines\n"},              // One line only.
      {.name = "48", .comm = long_name + "\n"},            // Cut to 255 characters.
      {.name = "49", .comm = std::nullopt},                // No comm file: skipped.
      {.name = "0", .comm = "zero\n"},                     // Not positive.
      {.name = "12a", .comm = "suffix\n"},                 // Not wholly a number.
      {.name = "self", .comm = "self\n"},                  // Not a number.
      {.name = "-5", .comm = "negative\n"},                // Not positive.
      {.name = "+7", .comm = "plus\n"},                    // strtol accepts a sign...
      {.name = "007", .comm = "zeros\n"},                  // ...and leading zeros.
      {.name = "99999999999999999999", .comm = "huge\n"},  // Saturates to LONG_MAX: positive.
  });
  g_autoptr(FlMethodResponse) response = Call("getRunningProcessNames");
  ASSERT_NE(response, nullptr);
  std::vector<std::string> expected = {"bash", "bash",       "huge",
                                       "init", "no-newline", "plus",
                                       "two",  "zeros",      long_name.substr(0, 255)};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(SortedNames(response), expected);
}

TEST_F(ActivityChannelTest, MissingProcDirectoryGivesEmptyList) {
  std::string missing = proc_.Child("missing");
  activity_set_proc_dir_for_testing(missing.c_str());
  g_autoptr(FlMethodResponse) response = Call("getRunningProcessNames");
  ASSERT_NE(response, nullptr);
  EXPECT_TRUE(SortedNames(response).empty());
}

TEST_F(ActivityChannelTest, ArgumentsOfAnyTypeAreIgnored) {
  MakeFixture({{.name = "7", .comm = "worker\n"}});
  g_autoptr(FlValue) map = fl_value_new_map();
  fl_value_set_string_take(map, "filter", fl_value_new_string("nothing"));
  g_autoptr(FlValue) number = fl_value_new_int(3);
  for (FlValue* args : {static_cast<FlValue*>(nullptr), map, number}) {
    SCOPED_TRACE(args == nullptr ? "no arguments" : "arguments");
    g_autoptr(FlMethodResponse) response = Call("getRunningProcessNames", args);
    ASSERT_NE(response, nullptr);
    EXPECT_EQ(SortedNames(response), std::vector<std::string>{"worker"});
  }
}

TEST_F(ActivityChannelTest, OtherMethodNamesAreNotImplemented) {
  for (const char* method :
       {"GetRunningProcessNames", "getrunningprocessnames", "getRunningProcessNames ", ""}) {
    SCOPED_TRACE(method);
    g_autoptr(FlMethodResponse) response = Call(method);
    ASSERT_NE(response, nullptr);
    EXPECT_TRUE(FL_IS_METHOD_NOT_IMPLEMENTED_RESPONSE(response));
  }
}

TEST_F(ActivityChannelTest, FailedResponseIsLoggedAsWarning) {
  MakeFixture({{.name = "7", .comm = "worker\n"}});
  for (const char* method : {"getRunningProcessNames", "unknown"}) {
    SCOPED_TRACE(method);
    LogCapture log;
    Call(method, nullptr, ReplyLink::kBroken);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].level, G_LOG_LEVEL_WARNING);
    EXPECT_TRUE(g_str_has_prefix(log.lines()[0].message.c_str(),
                                 "Failed to respond to activity method call: "))
        << log.lines()[0].message;
  }
}

}  // namespace
