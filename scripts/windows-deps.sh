#!/usr/bin/env bash
# Cross-builds the libraries the Windows build links (OpenSSL, libcurl, libjpeg-turbo, pugixml,
# GoogleTest, Qt base) from Debian's source packages with mingw-w64, statically, into a prefix in
# the user's cache folder. The prefix is named after the pinned versions and the compiler, so a
# second run (or another checkout on the same machine) finds it and takes seconds; each library
# is marked done on its own, so an interrupted run resumes where it stopped.
#
#   scripts/windows-deps.sh [library...]    builds the given libraries (default: all that are missing)
#
# Prints nothing but progress; the prefix path is printed by `scripts/windows-deps.sh --prefix`.
# Sources come from the archive of this machine's own apt list, fetched with `apt-get source`
# through a private apt folder, so nothing is taken from outside Debian.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

# Pinned source versions: a new version here makes a new prefix.
declare -A version=(
  [openssl]=3.0.20-1~deb12u2
  [curl]=7.88.1-10+deb12u15
  [libjpeg-turbo]=1:2.1.5-2
  [pugixml]=1.13-0.2
  [googletest]=1.12.1-0.2
  [qt6-base]=6.4.2+dfsg-10
)
order=(openssl curl libjpeg-turbo pugixml googletest qt6-base)
host=x86_64-w64-mingw32
jobs=${DRALMIN_JOBS:-2}

# Bumped when a build recipe below changes, so that a changed recipe makes a new prefix too.
recipe=2
cache=${XDG_CACHE_HOME:-$HOME/.cache}/dralmin/windows-deps

# The cross compilers, Wine and the tools the source packages need (as root, once).
[[ ${1:-} == --prefix ]] || scripts/setup.sh windows
compiler=$(dpkg-query -W -f='${Package} ${Version}\n' g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev)
key=$( { for p in "${order[@]}"; do echo "$p=${version[$p]}"; done; echo "$compiler $recipe"; } |
  sha256sum | cut -c1-16)
prefix=$cache/$key
if [[ ${1:-} == --prefix ]]; then
  echo "$prefix"
  exit 0
fi

work=$cache/work
mkdir -p "$prefix/.done" "$work"

# A private apt folder whose list names the source side (deb-src) of the machine's own archive.
apt_dir=$work/apt
apt_config() {
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/archives/partial" "$apt_dir/sources.list.d"
  local list
  for list in /etc/apt/sources.list.d/*.sources; do
    [[ -e $list ]] || continue
    sed 's/^Types:.*/Types: deb-src/' "$list" >"$apt_dir/sources.list.d/$(basename "$list")"
  done
  for list in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [[ -e $list ]] || continue
    sed -n 's/^deb \(.*\)/deb-src \1/p' "$list" >"$apt_dir/sources.list.d/$(basename "$list")"
  done
  cat >"$apt_dir/apt.conf" <<EOF
Dir::State "$apt_dir";
Dir::State::Lists "$apt_dir/lists";
Dir::State::status "/var/lib/dpkg/status";
Dir::Cache "$apt_dir";
Dir::Etc::SourceList "/dev/null";
Dir::Etc::SourceParts "$apt_dir/sources.list.d";
APT::Sandbox::User "root";
EOF
}
apt_updated=
# Unpacks the pinned source of $1 (Debian's patches applied) into $work/src/$1 and enters it.
fetch() {
  local pkg=$1 dir=$work/src/$1
  if [[ ! -f $dir/.unpacked ]]; then
    if [[ -z $apt_updated ]]; then
      apt_config
      APT_CONFIG=$apt_dir/apt.conf apt-get update -qq
      apt_updated=1
    fi
    rm -rf "$dir" "$work/dl/$pkg"
    mkdir -p "$work/dl/$pkg" "$work/src"
    (cd "$work/dl/$pkg" &&
      { APT_CONFIG=$apt_dir/apt.conf apt-get source -qq --download-only "$pkg=${version[$pkg]}" ||
        { echo "windows-deps: $pkg ${version[$pkg]} is not in the archive (any more?): update its pin" >&2
          exit 1; }; } &&
      dpkg-source -q --no-copy -x ./*.dsc "$dir" 2>&1 | { grep -v "^gpgv:" >&2 || true; })
    touch "$dir/.unpacked"
  fi
  cd "$dir"
}

cmake_cross() {
  cmake -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DDRALMIN_WINDOWS_PREFIX="$prefix" -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF "$@"
}

build_openssl() {
  fetch openssl
  rm -rf build && mkdir build && cd build
  # Only the library, and only what a TLS listener and an HTTPS client use: no engines, no legacy
  # provider, no compression, no DTLS or SSL 3, none of the national or old ciphers.
  ../Configure mingw64 --cross-compile-prefix=$host- --prefix="$prefix" --libdir=lib \
    no-shared no-module no-tests no-engine no-legacy no-comp no-dtls no-ssl3 \
    no-srp no-idea no-mdc2 no-rc5 no-sm2 no-sm3 no-sm4 no-camellia no-aria no-seed no-whirlpool \
    no-ui-console
  make -s -j"$jobs" build_libs
  make -s install_dev
}

build_curl() {
  fetch curl
  rm -rf build && mkdir build && cd build
  # A static OpenSSL needs its Windows libraries named for configure's link tests.
  ../configure -q --host=$host --prefix="$prefix" --disable-shared --enable-static \
    --with-openssl="$prefix" --with-zlib --without-libpsl --without-brotli --without-zstd \
    --without-nghttp2 --without-libidn2 --without-librtmp --without-libssh2 --without-libgsasl \
    --disable-ldap --disable-ldaps --disable-manual --disable-docs --disable-rtsp --disable-dict \
    --disable-telnet --disable-tftp --disable-pop3 --disable-imap --disable-smtp --disable-gopher \
    --disable-mqtt --disable-smb --disable-ftp --disable-file --disable-ntlm-wb \
    LIBS="-lws2_32 -lgdi32 -lcrypt32 -lbcrypt" PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
  make -s -j"$jobs" -C lib
  make -s -C lib install
  make -s -C include install
  make -s install-pkgconfigDATA
}

build_libjpeg-turbo() {
  fetch libjpeg-turbo
  cmake_cross -S . -B build -DENABLE_SHARED=OFF -DWITH_TURBOJPEG=OFF -DCMAKE_INSTALL_LIBDIR=lib \
    -DCMAKE_INSTALL_DOCDIR=share/doc/libjpeg-turbo -DCMAKE_ASM_NASM_COMPILER=nasm >/dev/null
  cmake --build build -j"$jobs" --target jpeg-static >/dev/null
  # Only the library and its headers: the tools and docs are not needed.
  install -D -m644 build/libjpeg.a "$prefix/lib/libjpeg.a"
  install -m644 jpeglib.h jerror.h jmorecfg.h build/jconfig.h "$prefix/include/"
}

build_pugixml() {
  fetch pugixml
  cmake_cross -S . -B build -DPUGIXML_BUILD_TESTS=OFF -DCMAKE_INSTALL_LIBDIR=lib >/dev/null
  cmake --build build -j"$jobs" >/dev/null
  cmake --install build >/dev/null
}

build_googletest() {
  fetch googletest
  cmake_cross -S . -B build -DCMAKE_INSTALL_LIBDIR=lib >/dev/null
  cmake --build build -j"$jobs" >/dev/null
  cmake --install build >/dev/null
}

build_qt6-base() {
  fetch qt6-base
  # Core, Gui and Widgets, with only the widgets, dialogs, image formats and the platform plugin
  # the agent uses (message boxes, input dialogs, forms with combo and check boxes, the tray and its
  # menu; PNG icons; the windows plugin and style). The host's Qt of the same version provides moc,
  # rcc and uic. tabletevent needs a header Debian's tarball leaves out; OpenGL stays on because
  # the Windows platform plugin does not build without it. direct2d would build a second copy of
  # the platform plugin; Windows draws fonts itself (GDI), so neither FreeType nor the font
  # database on DirectWrite 3, which needs it, is built. The main window,
  # tool bar and menu bar stay: Qt's compatibility code includes their headers unconditionally;
  # so do button groups (the buttons need them), the radio buttons, tab bars, table and tree views
  # the native style draws, and the file system model that the OpenGL widgets' headers take.
  local off=(
    tabletevent sql network dbus printsupport concurrent xml testlib opengl_desktop
    zstd icu jpeg gif ico sql_sqlite vulkan direct2d freetype directwrite3
    pdf textodfwriter textmarkdownreader textmarkdownwriter cssparser movie picture
    imageformat_bmp imageformat_ppm imageformat_xbm undocommand undostack undogroup whatsthis
    xmlstream jalalicalendar hijricalendar islamiccivilcalendar sharedmemory systemsemaphore
    mimetype filesystemwatcher gestures
    style_stylesheet effects treewidget listwidget tablewidget columnview
    commandlinkbutton datetimeedit calendarwidget textbrowser splashscreen splitter lcdnumber
    fontcombobox toolbox dockwidget mdiarea
    statusbar dial scroller graphicsview graphicseffect
    syntaxhighlighter keysequenceedit colordialog filedialog fontdialog progressdialog
    progressbar errormessage wizard datawidgetmapper completer fscompleter undoview
  )
  local flags=() f
  for f in "${off[@]}"; do flags+=("-DFEATURE_$f=OFF"); done
  cmake_cross -S . -B build -DQT_HOST_PATH=/usr \
    -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
    -DFEATURE_opengl_dynamic=ON -DFEATURE_style_fusion=ON -DFEATURE_mainwindow=ON \
    -DFEATURE_toolbar=ON -DFEATURE_menubar=ON -DFEATURE_groupbox=ON -DFEATURE_buttongroup=ON \
    -DFEATURE_radiobutton=ON -DFEATURE_tableview=ON -DFEATURE_treeview=ON -DFEATURE_tabbar=ON \
    -DFEATURE_tabwidget=ON -DFEATURE_filesystemmodel=ON "${flags[@]}" \
    -DFEATURE_system_zlib=OFF -DFEATURE_system_png=OFF -DFEATURE_system_freetype=OFF \
    -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_doubleconversion=OFF \
    -DINSTALL_DOCDIR=share/doc/qt6 -DINSTALL_EXAMPLESDIR=share/examples >build.log 2>&1 ||
    { tail -40 build.log >&2; return 1; }
  cmake --build build -j"$jobs" >>build.log 2>&1 || { grep -B2 -A12 "error:" build.log | head -60 >&2; return 1; }
  cmake --install build >/dev/null
}

requested=("$@")
((${#requested[@]})) || requested=("${order[@]}")
for lib in "${requested[@]}"; do
  [[ -v version[$lib] ]] || { echo "windows-deps: unknown library $lib" >&2; exit 2; }
  stamp=$prefix/.done/$lib
  [[ -f $stamp ]] && continue
  echo "== windows-deps: $lib ${version[$lib]}"
  start=$SECONDS
  (build_"$lib")
  touch "$stamp"
  # The sources and their build tree are not needed any more (Qt's alone take gigabytes).
  rm -rf "${work:?}/src/$lib" "${work:?}/dl/$lib"
  echo "== windows-deps: $lib built in $((SECONDS - start)) s"
done

# Only Boost's headers from the host, not the rest of /usr/include.
mkdir -p "$prefix/include"
ln -sfn /usr/include/boost "$prefix/include/boost"
