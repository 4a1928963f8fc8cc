// What libquiro.so shows the dynamic linker: the libraries it needs and the
// symbols it exports, read with readelf from the built library.

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <set>
#include <sstream>
#include <string>

namespace {

std::string Run(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) {
    ADD_FAILURE() << "cannot run " << command;
    return {};
  }
  std::string output;
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof(buffer), pipe.get())) {
    output.append(buffer, n);
  }
  return output;
}

// Lines like "0x...01 (NEEDED)  Shared library: [libm.so.6]".
std::set<std::string> NeededLibraries() {
  std::set<std::string> needed;
  std::istringstream lines(Run("readelf --dynamic --wide " QUIRO_LIBRARY_PATH));
  for (std::string line; std::getline(lines, line);) {
    if (line.find("(NEEDED)") == std::string::npos) continue;
    const auto open = line.find('[');
    const auto close = line.find(']', open);
    if (open != std::string::npos && close != std::string::npos) {
      needed.insert(line.substr(open + 1, close - open - 1));
    }
  }
  return needed;
}

// Defined global and weak symbols of the dynamic symbol table.
std::set<std::string> ExportedSymbols() {
  std::set<std::string> exported;
  std::istringstream lines(Run("readelf --dyn-syms --wide " QUIRO_LIBRARY_PATH));
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string num, value, size, type, bind, visibility, index, name;
    if (!(fields >> num >> value >> size >> type >> bind >> visibility >> index >> name)) continue;
    if (index == "UND" || (bind != "GLOBAL" && bind != "WEAK")) continue;
    exported.insert(name.substr(0, name.find('@')));
  }
  return exported;
}

TEST(LibraryExportsTest, NeedsOnlyTheRuntimeLibmAndRnnoise) {
  const std::set<std::string> needed = NeededLibraries();
  ASSERT_FALSE(needed.empty());
  const std::set<std::string> allowed = {"libc.so.6", "libm.so.6", "libstdc++.so.6",
                                         "libgcc_s.so.1", "ld-linux-x86-64.so.2"};
  for (const std::string& library : needed) {
    EXPECT_TRUE(allowed.count(library) || library.rfind("librnnoise.so", 0) == 0) << library;
  }
}

TEST(LibraryExportsTest, ExportsExactlyThePublicInterface) {
  const std::set<std::string> expected = {
      "quiro_isolator_create", "quiro_isolator_destroy", "quiro_isolator_process_frame_f32",
      "quiro_frame_samples",   "quiro_sample_rate",      "quiro_c_api_keep_symbols",
      // The bridge to Dart.
      "quiro_bridge_dispatch_async", "quiro_bridge_dispatch_sync", "quiro_bridge_content_hash",
      "quiro_bridge_init_dart_api", "quiro_bridge_store_post_function",
      "quiro_bridge_handle_retain", "quiro_bridge_handle_release", "quiro_bridge_buffer_new",
      "quiro_bridge_buffer_resize", "quiro_bridge_buffer_free",
      "quiro_bridge_free_sync_result_object", "quiro_bridge_free_sync_result_bytes",
      "quiro_bridge_dart_object_wrap", "quiro_bridge_dart_object_get",
      "quiro_bridge_dart_object_drop", "quiro_bridge_deliver_callback_output",
      "quiro_bridge_free_result_buffer_u8", "quiro_bridge_free_result_buffer_i8",
      "quiro_bridge_free_result_buffer_u16", "quiro_bridge_free_result_buffer_i16",
      "quiro_bridge_free_result_buffer_u32", "quiro_bridge_free_result_buffer_i32",
      "quiro_bridge_free_result_buffer_u64", "quiro_bridge_free_result_buffer_i64",
      "quiro_bridge_free_result_buffer_f32", "quiro_bridge_free_result_buffer_f64",
  };
  EXPECT_EQ(ExportedSymbols(), expected);
}

}  // namespace
