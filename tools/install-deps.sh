#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the pictures need, if missing;
# with the argument `fuzz`, also clang and libFuzzer.
set -euo pipefail
need=()
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v g++ >/dev/null 2>&1 || need+=(g++)
command -v make >/dev/null 2>&1 || need+=(make)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
[ -f /usr/include/yaml-cpp/yaml.h ] || need+=(libyaml-cpp-dev)
# SLEEF's vectorized exponentials, sines and cosines: the sampler's evaluation of the model.
ls /usr/include/sleef.h /usr/include/*/sleef.h >/dev/null 2>&1 || need+=(libsleef-dev)
command -v gnuplot >/dev/null 2>&1 || need+=(gnuplot-nox)
if [ "${1:-}" = fuzz ]; then
  # The fuzz targets are built with clang and linked with libFuzzer.
  command -v clang++ >/dev/null 2>&1 || need+=(clang)
  ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 ||
    need+=(libclang-rt-dev)
fi
if [ ${#need[@]} -eq 0 ]; then exit 0; fi
echo "Installing: ${need[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then sudo="sudo"; else
    echo "Please install as root: apt-get install ${need[*]}" >&2; exit 1
  fi
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq "${need[@]}"
