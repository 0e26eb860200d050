# Homebrew formula for tarnwel-agent: the agent, tarnwelctl,
# git-credential-tarnwel, the client library, man pages, completions and the
# documents (configuration, protocol, service) in share/doc/tarnwel-agent.
# git-credential-tarnwel, tarnwel-askpass (the terminal confirmation used where
# LocalAuthentication is missing, in libexec), the client library, man pages
# and completions.
#
#   brew install --formula ./packaging/homebrew/tarnwel.rb   # or from a tap
#   brew services start tarnwel
#
# url and sha256 name the release tarball; set them when a release is cut
# (`brew install --HEAD` builds from the repository meanwhile).
class Tarnwel < Formula
  desc "Per-user agent that keeps secrets in locked memory after a presence check"
  homepage "https://tarnwel-agent.invalid/"
  url "https://tarnwel-agent.invalid/releases/tarnwel-agent-1.12.0.tar.gz"
  sha256 "0000000000000000000000000000000000000000000000000000000000000000"
  license "MIT"
  head "https://tarnwel-agent.invalid/tarnwel-agent.git", branch: "main"

  depends_on "cmake" => :build
  depends_on "ninja" => :build
  # The installed CMake package asks consumers' builds for it too.
  depends_on "nlohmann-json"

  def install
    # The service file names the agent under the stable opt prefix, which
    # survives upgrades, not under this version's Cellar directory.
    system "cmake", "-S", ".", "-B", "build", "-G", "Ninja",
           "-DTARNWEL_BUILD_TESTS=OFF",
           "-DTARNWEL_SERVICE_PREFIX=#{opt_prefix}",
           "-DTARNWEL_LAUNCHD_LOG=#{var}/log/tarnwel-agent.log",
           *std_cmake_args
    system "cmake", "--build", "build"
    system "cmake", "--install", "build"
  end

  service do
    # Answering each client at once unless the environment says otherwise.
    run ["/bin/sh", "-c",
         'export TARNWEL_AGENT_WAKE_ON_CONNECT="${TARNWEL_AGENT_WAKE_ON_CONNECT-1}"; exec "$0"',
         opt_bin/"tarnwel-agent"]
    # Exit status 0 (shutdown, 8 idle days) is left alone; a failure restarts.
    keep_alive successful_exit: false
    process_type :interactive
    error_log_path var/"log/tarnwel-agent.log"
  end

  test do
    assert_match "tarnwel-agent #{version}", shell_output("#{bin}/tarnwel-agent --version")
    assert_match "tarnwelctl #{version}", shell_output("#{bin}/tarnwelctl --version")
    assert_match "Usage: tarnwel-agent", shell_output("#{bin}/tarnwel-agent --help")
    # Plain on macOS, gzip-compressed on Linux.
    %w[tarnwel-agent tarnwelctl git-credential-tarnwel].each do |page|
      refute_empty Dir[man1/"#{page}.1*"], "man page #{page}.1"
    end
    %w[configuration.md protocol.md service.md].each do |document|
      assert_predicate share/"doc/tarnwel-agent"/document, :exist?
    end
    assert_predicate libexec/"tarnwel-askpass", :executable?
    ENV["TARNWEL_AGENT_RUNTIME_DIR"] = testpath
    system bin/"tarnwelctl", "start"
    assert_match "protocol 2", shell_output("#{bin}/tarnwelctl ping")
    system bin/"tarnwelctl", "shutdown"
  end
end
