# The wheels' compiler: zig's clang, from PyPI, targeting glibc 2.17
# (manylinux2014) with its own C++ runtime (libc++, libunwind) linked in, so
# a module needs nothing from the system newer than glibc 2.17 and no
# libstdc++ at all. Sourced by scripts/wheels.

# The zig package from PyPI; its compiler and runtime sources are in it.
ZIG_REQUIREMENT="ziglang==0.17.1"

# zig_target ARCH: zig's target for a wheel architecture (x86_64, i686).
zig_target() {
  case "$1" in
    x86_64) echo x86_64-linux-gnu.2.17 ;;
    i686) echo x86-linux-gnu.2.17 ;;
    *) echo "no zig target for $1" >&2; return 1 ;;
  esac
}

# zig_cpu ARCH: the processor the code may assume. i686 as Debian's i386 and
# the manylinux i686 toolchains: no SSE, x87 arithmetic, as the 32-bit
# builds of the tests; the AVX-512 passes carry their own target attributes
# and are chosen at run time either way.
zig_cpu() {
  case "$1" in
    x86_64) echo x86_64 ;;
    i686) echo i686 ;;
  esac
}

# zig_wrappers DIR ZIG CACHE ARCH: writes cc, c++, ar and ranlib wrappers
# into DIR that run the zig binary ZIG for ARCH with its cache in CACHE (all
# paths as seen where the wrappers run). The system's include directory
# comes after zig's own headers, so that only what zig lacks is taken from
# it: the interpreter's headers, and the architecture's pyconfig.h that
# Debian's pyconfig.h includes from there.
zig_wrappers() {
  local dir=$1 zig=$2 cache=$3 arch=$4 target cpu tool
  target=$(zig_target "$arch") || return
  cpu=$(zig_cpu "$arch")
  mkdir -p "$dir"
  for tool in cc c++; do
    cat >"$dir/zig-$tool" <<EOF
#!/bin/sh
ZIG_GLOBAL_CACHE_DIR=$cache ZIG_LOCAL_CACHE_DIR=$cache exec $zig $tool -target $target -mcpu=$cpu -idirafter /usr/include "\$@"
EOF
  done
  for tool in ar ranlib; do
    cat >"$dir/zig-$tool" <<EOF
#!/bin/sh
exec $zig $tool "\$@"
EOF
  done
  chmod +x "$dir"/zig-*
}

# zig_cmake_args DIR: the CMake definitions that make a build use the
# wrappers in DIR. zig builds its C++ runtime (minutes per target) for each
# kind of link: CMake's checks of the compiler only compile, so that they do
# not ask for an unoptimised runtime, and there is no link-time
# optimisation, which the binding library would turn on for the module (a
# third runtime), for a module whose core is linked prebuilt anyway.
zig_cmake_args() {
  echo "-DCMAKE_C_COMPILER=$1/zig-cc -DCMAKE_CXX_COMPILER=$1/zig-c++ -DCMAKE_AR=$1/zig-ar" \
    "-DCMAKE_RANLIB=$1/zig-ranlib -DCMAKE_TRY_COMPILE_TARGET_TYPE=STATIC_LIBRARY" \
    "-DCMAKE_INTERPROCEDURAL_OPTIMIZATION=OFF"
}
