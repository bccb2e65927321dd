# Shared set-up steps for the project's commands: interpreters, virtual environments, the build, MariaDB.
# Sourced, not run.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VENVS="$ROOT/.venv"

# Prints the path of a CPython of version $1 (e.g. 3.11), or nothing.
find_python() {
  local v=$1 p
  for p in "$HOME"/.pyenv/versions/"$v".*/bin/"python$v" /usr/bin/"python$v" "$(command -v "python$v" 2>/dev/null)"; do
    if [ -n "$p" ] && [ -x "$p" ] && "$p" -c "" 2>/dev/null; then echo "$p"; return 0; fi
  done
  return 1
}

# settle_pip PYTHON: the pip that the pins of 3.7 to 3.13 were resolved with (24.0, the last for 3.7) in the
# venv of PYTHON; 3.14 and later keep the newer pip that their venv comes with (24.0 predates them).
settle_pip() {
  "$1" -c 'import sys; sys.exit(sys.version_info >= (3, 14))' || return 0
  "$1" -m pip install -q --upgrade "pip<24.1" >/dev/null
}

# A stack is named VERSION or VERSION+NAME: 3.13 is CPython 3.13 with constraints/py313.txt, 3.13+langchain1
# the same interpreter with constraints/py313-langchain1.txt; each has its venv (.venv/py313-langchain1) and
# build folder.
stack_tag() { local t=${1/./}; echo "${t/+/-}"; }

# ensure_stack STACK: a virtual environment with the pinned stack (no module yet).
ensure_stack() {
  local v=${1%%+*} tag py venv
  tag=$(stack_tag "$1")
  venv="$VENVS/py$tag"
  if [ ! -x "$venv/bin/python" ]; then
    py=$(find_python "$v") || { echo "no CPython $v on this machine" >&2; return 1; }
    echo "== setting up .venv/py$tag: a virtual environment of CPython $v (once)"
    "$py" -m venv "$venv"
    settle_pip "$venv/bin/python"
  fi
  if ! cmp -s "$ROOT/constraints/py$tag.txt" "$venv/.installed-constraints" 2>/dev/null; then
    echo "== .venv/py$tag: installing the pinned stack of constraints/py$tag.txt (a few minutes the first time)"
    "$venv/bin/python" -m pip install -q -r "$ROOT/constraints/py$tag.txt"
    cp "$ROOT/constraints/py$tag.txt" "$venv/.installed-constraints"
  fi
}

# ensure_venv STACK: a virtual environment with the pinned stack, and the module built from this tree.
ensure_venv() {
  ensure_stack "$1" || return 1
  local tag venv
  tag=$(stack_tag "$1")
  venv="$VENVS/py$tag"
  # Builds with the CMake on the machine, warnings as errors; the build directory is kept for quick rebuilds.
  # NLSA_CPYTHON_INTERNALS=OFF builds the public-API paths only (in a build directory of its own).
  local internals=${NLSA_CPYTHON_INTERNALS:-ON} build="$ROOT/build/py$tag"
  [ "$internals" = ON ] || build="$build-public"
  echo "== .venv/py$tag: building the module from this tree (quick when nothing changed)"
  "$venv/bin/python" -m pip install -q --no-build-isolation --no-deps -Cbuild-dir="$build" \
    -Ccmake.define.NLSA_WERROR=ON -Ccmake.define.NLSA_CPYTHON_INTERNALS="$internals" "$ROOT"
}

# What ./ask needs, in .venv/ask: the module and what it imports at run time, the SQL parser of its gate on
# the agent's queries, and the OpenAI client for the real-model road, at the versions pinned in
# constraints/py311.txt; no test tools. Set up once, and again only when the sources or the pins change; a
# lock lets several ./ask runs start together.
ensure_ask_env() {
  local venv="$VENVS/ask" stamp
  stamp=$(cd "$ROOT" && { find src demo -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.inc' -o -name '*.map' -o -name '*.pyi' \) \
      -print0 | sort -z | xargs -0 cat; cat CMakeLists.txt pyproject.toml constraints/py311.txt; } | sha1sum)
  [ -f "$venv/.stamp" ] && [ "$(cat "$venv/.stamp")" = "$stamp" ] && return 0
  mkdir -p "$VENVS"
  exec 9>"$VENVS/.ask-setup.lock"
  flock 9
  if [ ! -f "$venv/.stamp" ] || [ "$(cat "$venv/.stamp")" != "$stamp" ]; then
    echo "== setting up .venv/ask (once; again only after a change to the sources or the pinned stack)"
    if [ ! -x "$venv/bin/python" ]; then
      local py
      py=$(find_python 3.11) || { echo "./ask needs CPython 3.11 (python3.11)" >&2; return 1; }
      "$py" -m venv "$venv"
      settle_pip "$venv/bin/python"
    fi
    "$venv/bin/python" -m pip install -q -c "$ROOT/constraints/py311.txt" langchain langchain-community \
      langchain-core SQLAlchemy "PyMySQL[rsa]" openai sqlglot scikit-build-core
    "$venv/bin/python" -m pip install -q --no-build-isolation --no-deps -Cbuild-dir="$ROOT/build/ask" "$ROOT"
    echo "$stamp" > "$venv/.stamp"
  fi
  exec 9>&-
}

# Starts the local MariaDB server if it does not answer.
ensure_mariadb() {
  [ -z "${NLSA_MARIADB_RUNNING:-}" ] || return 0  # scripts/sid-chroot checked it on the host
  if mariadb-admin --host=127.0.0.1 --user=root ping >/dev/null 2>&1; then return 0; fi
  if [ -x /usr/sbin/mariadbd ]; then
    start-stop-daemon --start --oknodo --background --exec /usr/sbin/mariadbd
    local i
    for i in $(seq 1 60); do
      mariadb-admin --host=127.0.0.1 --user=root ping >/dev/null 2>&1 && return 0
      sleep 0.5
    done
  fi
  echo "MariaDB does not answer on 127.0.0.1:3306" >&2
  return 1
}
