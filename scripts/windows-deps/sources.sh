# Sourced by scripts/build-windows-deps and scripts/windows-lagging (bash): which Debian source
# packages the Windows libraries are built from, which binary package of the Linux build each is
# compared with, and how the versions of both are found.

# NAME:PACKAGE pairs: the source package, and the Linux build's binary package of that library.
windows_libraries="openssl:libssl3 libssh:libssh-4 zlib:zlib1g libzip:libzip4 curl:libcurl4"

# The libraries whose source may come from the next Debian release (trixie) when bookworm serves
# none as new as the Linux build's: libssh, which provision.exe must not carry older than the Linux
# build links. The others lag instead (and a release says so).
next_release_libraries="libssh"

# The libraries whose Debian source (the .dsc and the tarballs it names) is kept in the prefix
# (share/src/NAME) for the release's relinking kit: libssh is LGPL-2.1 and linked statically.
kit_sources="libssh"

# next_apt COMMAND ARGS...: apt-get or apt-cache on the next release's deb-src entries alone
# (scripts/install-deps-windows writes them, in a folder the machine's own apt never reads).
next_release_dir=/var/lib/provision-windows/next-release
next_apt() {
  local command=$1
  shift
  "$command" -o Dir::Etc::SourceList=/dev/null \
    -o Dir::Etc::SourceParts="$next_release_dir/sources.list.d" \
    -o Dir::State::Lists="$next_release_dir/lists" -o Dir::Cache="$next_release_dir/cache" "$@"
}

# offered_versions NAME [next]: the versions of a source package that the deb-src entries offer
# (bookworm and bookworm-security list one each when there is a security update; with "next", the
# next release's entries), newest first.
offered_versions() {
  local apt=()
  [ "${2:-}" != next ] || apt=(next_apt)
  "${apt[@]}" apt-cache showsrc --only-source "$1" 2>/dev/null | awk '/^Version:/ { print $2 }' |
    newest_first
}

# newest_first: the versions on standard input, one a line, without repeats, newest first.
newest_first() {
  local versions v other newer
  versions=$(sort -u)
  # Ordered by how many of the others are newer: dpkg's order of versions, not sort's.
  for v in $versions; do
    newer=0
    for other in $versions; do
      if dpkg --compare-versions "$other" gt "$v"; then newer=$((newer + 1)); fi
    done
    echo "$newer $v"
  done | sort -n | cut -d' ' -f2
}

# not_older_first LINUX VERSION...: the order in which the versions are tried for a library that
# must not be older than the Linux build's LINUX: LINUX itself when it is among them, then the
# newer ones, newest first, then the older ones, newest first (those lag).
not_older_first() {
  local linux=$1 v
  shift
  for v in "$@"; do
    if [ "$v" = "$linux" ]; then
      echo "$v"
      break
    fi
  done
  for v in "$@"; do
    if [ -z "$linux" ] || dpkg --compare-versions "$v" gt "$linux"; then echo "$v"; fi
  done | newest_first
  for v in "$@"; do
    if [ -n "$linux" ] && dpkg --compare-versions "$v" lt "$linux"; then echo "$v"; fi
  done | newest_first
}

# The source version of the library the Linux build links: the installed binary package's, else
# apt's candidate for it (a binary-only rebuild, +bN, has the source version of its Source field).
linux_source_version() {
  local installed candidate
  installed=$(dpkg-query -W -f='${db:Status-Abbrev}|${source:Version}' "$1" 2>/dev/null || true)
  if [ "${installed:0:2}" = "ii" ]; then
    echo "${installed#*|}"
    return
  fi
  candidate=$(apt-cache policy "$1" 2>/dev/null | awk '/Candidate:/ { print $2 }')
  [ -n "$candidate" ] && [ "$candidate" != "(none)" ] || return 0
  apt-cache show "$1=$candidate" | awk -v v="$candidate" '
    /^Source:/ && $3 != "" { gsub(/[()]/, "", $3); v = $3 }
    /^$/ { exit }
    END { print v }'
}

# lagging_sources PREFIX: one line "NAME BUILT LINUX PACKAGE" for each library of the built prefix
# (its .complete: "NAME VERSION" lines) whose source is older than what the Linux build links now.
lagging_sources() {
  local entry name package built linux
  for entry in $windows_libraries; do
    name=${entry%%:*}
    package=${entry#*:}
    built=$(awk -v name="$name" '$1 == name { print $2 }' "$1/.complete")
    linux=$(linux_source_version "$package")
    [ -n "$built" ] && [ -n "$linux" ] || continue
    if dpkg --compare-versions "$built" lt "$linux"; then
      echo "$name $built $linux $package"
    fi
  done
}
