# Sourced by the build scripts (not run): compiles go through ccache when it is installed, and every
# preset of one run shares the cache, so a preset whose compile commands match another's (nogui and
# ci) takes that one's objects instead of compiling them again.
#   CCACHE_DIR   the cache folder (default build/ccache, so a fresh checkout starts with an empty one)
# After sourcing, "${velmor_cache[@]}" are the arguments for `cmake --preset ...`.
velmor_cache=(-DCMAKE_C_COMPILER_LAUNCHER= -DCMAKE_CXX_COMPILER_LAUNCHER=)
if command -v ccache >/dev/null; then
  export CCACHE_DIR=${CCACHE_DIR:-$PWD/build/ccache}
  # Paths inside the tree are hashed relative to the build folder, and the build folder's own name
  # (which -g writes into the objects) is left out: build/ci and build/nogui then look alike. The
  # depend mode takes the included files from the compiler's own dependency file, so a miss costs no
  # extra preprocessor run (about a tenth more CPU for the asan and fuzz builds, which never hit).
  export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1 CCACHE_DEPEND=1
  velmor_cache=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
