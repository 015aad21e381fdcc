# Sourced by scripts/build-windows-deps and scripts/windows-lagging (bash): which Debian source
# packages the Windows libraries are built from, which binary package of the Linux build each is
# compared with, and how the versions of both are found.

# NAME:PACKAGE pairs: the source package, and the Linux build's binary package of that library.
windows_libraries="openssl:libssl3 libssh2:libssh2-1 zlib:zlib1g libzip:libzip4 curl:libcurl4"

# The versions of a source package that the deb-src entries offer (bookworm and bookworm-security
# list one each when there is a security update), newest first.
offered_versions() {
  local versions v other newer
  versions=$(apt-cache showsrc --only-source "$1" 2>/dev/null | awk '/^Version:/ { print $2 }' |
    sort -u)
  # Ordered by how many of the others are newer: dpkg's order of versions, not sort's.
  for v in $versions; do
    newer=0
    for other in $versions; do
      if dpkg --compare-versions "$other" gt "$v"; then newer=$((newer + 1)); fi
    done
    echo "$newer $v"
  done | sort -n | cut -d' ' -f2
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
