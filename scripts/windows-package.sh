#!/usr/bin/env bash
# Builds the Windows Installer package from the Windows build (scripts/windows.sh builds it first):
# stages the files of each part with `cmake --install --component`, writes the parts of the
# package that follow the build (one property a setting, the simulators that were built, the
# icon) and runs wixl on packaging/windows/dralmin-tray-agent.wxs.
#
#   scripts/windows-package.sh [--version X.Y.Z] [--output FILE] [--layout-of-32-bit]
#
# Default: the project's version, into build/windows/dralmin-tray-agent-<version>.msi. Prints the
# package's path. --layout-of-32-bit lays the same files out as the 32-bit packages of earlier
# versions did (Program Files (x86), the registry's 32-bit view), for the installer check's
# upgrade from them.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=build/windows

version=
output=
arch=x64 win64=yes program_files=ProgramFiles64Folder twain_folder=twain_64
while (($#)); do
  case $1 in
    --version) version=$2; shift 2 ;;
    --output) output=$2; shift 2 ;;
    --layout-of-32-bit)
      arch=x86 win64=no program_files=ProgramFilesFolder twain_folder=twain_32
      shift
      ;;
    *) echo "usage: $0 [--version X.Y.Z] [--output FILE] [--layout-of-32-bit]" >&2; exit 2 ;;
  esac
done
if [[ -z $version ]]; then
  version=$(sed -n 's/.*DRALMIN_VERSION "\(.*\)".*/\1/p' $build/generated/DralminVersion.h)
fi
output=${output:-$build/dralmin-tray-agent-$version.msi}

stage=$build/package-stage
rm -rf "$stage"
mkdir -p "$stage"
for component in agent sdk simulators; do
  cmake --install $build --component $component --prefix "$stage/$component" >/dev/null
done

cp -r packaging/windows/policies "$stage/policies"

# The icon of "Apps and features" and of the Start menu entry: the agent's pictures, stored as
# PNG inside one .ico (as Windows reads since Vista).
python3 - "$stage/dralmin-tray-agent.ico" res/icons/dralmin-tray-agent-{16,24,32,48,64,128}.png <<'EOF'
import struct, sys
images = [open(path, "rb").read() for path in sys.argv[2:]]
head = struct.pack("<HHH", 0, 1, len(images))
offset = len(head) + 16 * len(images)
entries = b""
for png in images:
    width, height = struct.unpack(">II", png[16:24])
    entries += struct.pack("<BBBBHHII", width % 256, height % 256, 0, 0, 1, 32, len(png), offset)
    offset += len(png)
open(sys.argv[1], "wb").write(head + entries + b"".join(images))
EOF

# One property a setting, named as the key in capitals (ALLOWED_ORIGINS for allowed_origins):
# given on the command line it is written to the machine's settings; not given, the value an
# earlier installation wrote is kept (read back before the older version is removed, from the
# registry's 64-bit view, or from its 32-bit one where the 32-bit packages wrote it). The keys are
# those of the shipped settings file.
keys=$(sed -n 's/^#\([a-z_]*\) =.*/\1/p' packaging/agent.conf)
{
  echo '<?xml version="1.0" encoding="utf-8"?>'
  echo '<Include>'
  sequence=51
  components=
  for key in $keys; do
    property=${key^^}
    cat <<EOF
  <Property Id="OLD_$property">
    <RegistrySearch Id="Old_$key" Root="HKLM" Key="SOFTWARE\\Dralmin\\TrayAgent" Name="$key" Type="raw" Win64="$win64"/>
  </Property>
  <Property Id="OLD32_$property">
    <RegistrySearch Id="Old32_$key" Root="HKLM" Key="SOFTWARE\\Dralmin\\TrayAgent" Name="$key" Type="raw" Win64="no"/>
  </Property>
  <CustomAction Id="Keep_$key" Property="$property" Value="[OLD_$property]"/>
  <CustomAction Id="Keep32_$key" Property="$property" Value="[OLD32_$property]"/>
  <InstallExecuteSequence>
    <Custom Action="Keep_$key" Sequence="$sequence">NOT $property AND OLD_$property</Custom>
    <Custom Action="Keep32_$key" Sequence="$((sequence + 1))">NOT $property AND OLD32_$property</Custom>
  </InstallExecuteSequence>
EOF
    components+="    <Component Id=\"Setting_$key\" Guid=\"*\" Win64=\"$win64\">
      <RegistryValue Root=\"HKLM\" Key=\"SOFTWARE\\Dralmin\\TrayAgent\" Name=\"$key\" Type=\"string\" Value=\"[$property]\" KeyPath=\"yes\"/>
    </Component>
"
    sequence=$((sequence + 2))
  done
  echo '  <DirectoryRef Id="INSTALLDIR">'
  printf '%s' "$components"
  echo '  </DirectoryRef>'
  echo '</Include>'
} >"$stage/settings.wxi"
{
  echo '<?xml version="1.0" encoding="utf-8"?>'
  echo '<Include>'
  for key in $keys; do echo "  <ComponentRef Id=\"Setting_$key\"/>"; done
  echo '</Include>'
} >"$stage/setting-refs.wxi"

sources=("$root/packaging/windows/dralmin-tray-agent.wxs")
defines=(-D "Version=$version" -D "Stage=$stage" -D Simulators=0 -D "Win64=$win64"
  -D "ProgramFiles=$program_files" -D "TwainFolder=$twain_folder")
if [[ -n $(ls -A "$stage/simulators" 2>/dev/null) ]]; then
  (cd "$stage" && find simulators -type f | sort |
    wixl-heat -p simulators/ --directory-ref SimulatorsFolder --component-group SimulatorFiles \
      --var var.SimulatorStage $([[ $win64 == yes ]] && echo --win64)) >"$stage/simulators.wxs"
  sources+=("$root/$stage/simulators.wxs")
  defines+=(-D Simulators=1 -D "SimulatorStage=$stage/simulators")
fi

mkdir -p "$(dirname "$output")"
wixl -a "$arch" -I "$stage" "${defines[@]}" -o "$output" "${sources[@]}"
# The properties pass from the user's side of the installation to the system's, also when a user
# who is not an administrator is allowed to install (wixl has no attribute for it).
secure=$(for key in $keys BROWSER_POLICIES REMOVE_USER_DATA; do printf '%s;' "${key^^}"; done)
msibuild "$output" -q "UPDATE Property SET Value = '${secure}WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED' WHERE Property = 'SecureCustomProperties'"
# The older version goes first, whole (its agents stopped, its files removed), before this one's
# files are copied; wixl would place it after everything.
msibuild "$output" -q "UPDATE InstallExecuteSequence SET Sequence = 1401 WHERE Action = 'RemoveExistingProducts'"
echo "$output"
