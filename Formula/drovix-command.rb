# drovix-command, which sends DrovixRescue a command through CloudKit's web services, from any
# Mac or Linux shell. This repository is its tap:
#   brew tap drovix/rescue https://github.com/drovix/drovix-rescue
#   brew install drovix-command
# Each release fills in its url, sha256 and the container's API token (scripts/fill-formula).
class DrovixCommand < Formula
  desc "Sends DrovixRescue the command to start or restart Drovix"
  homepage "https://github.com/drovix/drovix-rescue"
  url "https://github.com/drovix/drovix-rescue/archive/refs/tags/v1.0.tar.gz"
  sha256 "0000000000000000000000000000000000000000000000000000000000000000"

  depends_on "cmake" => :build
  depends_on "nlohmann-json" => :build

  uses_from_macos "curl"

  on_linux do
    depends_on "pkgconf" => :build
    depends_on "libplist"
    depends_on "utf8proc"
  end

  def install
    # The writer alone, of the web services. The container's API token names the container and
    # grants nothing without the user's own sign-in; the one here until a release fills in the
    # real one reaches no container.
    api_token = "release-fills-this-in"
    system "cmake", "-S", ".", "-B", "build", "-DDROVIX_BUILD_AGENT=OFF", "-DDROVIX_BUILD_TESTS=OFF",
           "-DDROVIX_CLOUDKIT_API_TOKEN=#{api_token}", *std_cmake_args
    system "cmake", "--build", "build", "--target", "drovix-command"
    bin.install "build/tools/drovix-command"
    man1.install "build/tools/drovix-command.1"
    bash_completion.install "tools/drovix-command.bash" => "drovix-command"
    zsh_completion.install "tools/_drovix-command"
  end

  test do
    ENV["XDG_CONFIG_HOME"] = testpath/"config"
    assert_match "drovix-command #{version}\nthe record: CloudKit's web services",
                 shell_output("#{bin}/drovix-command --version")
    # Nobody has signed in: nothing is sent, and the user is told how to sign in.
    assert_equal "drovix-command: sign-in required — run drovix-command sign-in\n",
                 shell_output("#{bin}/drovix-command restart 2>&1", 2)
  end
end
