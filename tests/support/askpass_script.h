// The presence seam for tests that need no control over a prompt while it is
// up: a shell script the agent runs as its askpass program, answering at once
// (exit 0 grants). World-readable and executable, so that an agent running as
// another user can run it too.
//
//   const std::string askpass = write_askpass_script(root.path(), "exit 0");
#pragma once

#include <sys/stat.h>

#include <fstream>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace tarnwel::testing {

inline std::string write_askpass_script(const std::string& dir, std::string_view body,
                                        std::string_view name = "askpass") {
  const std::string path = dir + "/" + std::string(name);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << "#!/bin/sh\n" << body << "\n";
  out.close();
  EXPECT_TRUE(out) << "cannot write " << path;
  EXPECT_EQ(::chmod(path.c_str(), 0755), 0) << path;
  return path;
}

}  // namespace tarnwel::testing
