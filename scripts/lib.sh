# Helpers shared by scripts/install and scripts/test. Sourced, not run.

ZYG_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Debian packages by purpose.
ZYG_PKGS_BUILD="cmake g++ make libnuma-dev psmisc nlohmann-json3-dev"
# zyg-nox-report's tests: man page lint, bash completion, the JSON schema, the page in a real browser.
ZYG_PKGS_REPORT_TEST="mandoc bash-completion python3-jsonschema chromium fonts-dejavu-core"
# golang-go builds tests/programs/zyg-gochildren (a Go program's own process creation);
# musl-tools, busybox-static and tini give the programs of other C libraries and the
# static wrappers a tree must carry on through.
ZYG_PKGS_TEST="libgtest-dev python3 python3-pytest numactl gcc-multilib musl-tools busybox-static tini util-linux libbenchmark-dev strace golang-go $ZYG_PKGS_REPORT_TEST"
# The peers bench/compare measures zyg-nox against, and the tools that count
# what a creation costs (instructions, system calls, page faults).
ZYG_PKGS_BENCH="numactl util-linux hwloc likwid linux-perf valgrind strace"
ZYG_PKGS_FUZZ="clang-14 libclang-rt-14-dev"
# scripts/lint: the formatter and the naming and function-size checks.
ZYG_PKGS_LINT="clang-format-14 clang-tidy-14"
# busybox-static and tini (its tini-static) are also the static wrappers the VM tests start programs under.
ZYG_PKGS_VM="qemu-system-x86 linux-image-amd64 busybox-static kmod cpio xz-utils zstd tini"
# The outer launchers that the VM tests of the hpc shape start: Open MPI
# (with its compiler wrapper, for tests/programs/zyg-hybrid.c), Slurm's
# controller, node daemon and clients, munge, Slurm's authentication, and
# libslurm-dev, whose plugin header builds the srun --zyg-nox plugin.
ZYG_PKGS_HPC="openmpi-bin libopenmpi-dev slurmctld slurmd slurm-client munge libslurm-dev"
ZYG_PKGS_PACKAGE="dpkg-dev"

# need_packages PKG... : installs the packages that are not installed yet.
need_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "== installing Debian packages: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "error: missing packages (${missing[*]}); run as root to install them" >&2
    return 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq || return 1
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null || return 1
}

# build_install BUILD_DIR [CMAKE ARGS...] : configures, builds and installs.
build_install() {
  local dir=$1; shift
  cmake -S "$ZYG_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr "$@" >/dev/null &&
  cmake --build "$dir" -j"$(nproc)" &&
  cmake --install "$dir" >/dev/null
}
