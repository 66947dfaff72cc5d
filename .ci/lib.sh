# Shell functions shared by the .ci scripts; each script sources this file first. It moves to the
# repository's root, and removes every folder made by ci_temp_dir when the script exits, however
# it exits.

set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
ci_root="$PWD"

ci_temp_dirs=()
ci_exit_hooks=()

ci_cleanup() {
    local hook
    for hook in "${ci_exit_hooks[@]}"; do eval "$hook" || true; done
    if [ "${#ci_temp_dirs[@]}" -gt 0 ]; then rm -rf "${ci_temp_dirs[@]}"; fi
}
trap ci_cleanup EXIT

# ci_temp_dir VAR: a new empty folder, named in VAR, removed when the script exits.
# (Locals carry a ci_ prefix so as not to hide the caller's variable of the same name.)
ci_temp_dir() {
    local ci_made
    ci_made="$(mktemp -d)"
    ci_temp_dirs+=("$ci_made")
    printf -v "$1" '%s' "$ci_made"
}

# ci_keep_temp_dirs: keeps the temporary folders, for a failure someone will want to look into.
ci_keep_temp_dirs() {
    ci_temp_dirs=()
}

# ci_at_exit COMMAND: runs COMMAND (a string) before the folders are removed.
ci_at_exit() {
    ci_exit_hooks+=("$1")
}

# ci_venv VAR [pip install arguments...]: a fresh virtual environment in a temporary folder, with
# a current pip and the given installation; VAR names its python.
ci_venv() {
    local ci_var="$1" ci_dir
    shift
    ci_temp_dir ci_dir
    python3 -m venv "$ci_dir/venv"
    "$ci_dir/venv/bin/python" -m pip install --quiet --upgrade pip
    if [ "$#" -gt 0 ]; then "$ci_dir/venv/bin/python" -m pip install --quiet "$@"; fi
    printf -v "$ci_var" '%s' "$ci_dir/venv/bin/python"
}

# ci_pytest PYTHON [pytest arguments...]: the test suite, in which the native checks must build
# and run rather than be skipped; no test collected is a failure too (pytest's status 5).
ci_pytest() {
    local ci_python="$1" ci_status=0
    shift
    KELPMOOR_NATIVE_REQUIRED=1 "$ci_python" -m pytest -q -p no:cacheprovider "$@" || ci_status=$?
    if [ "$ci_status" -eq 5 ]; then
        echo "pytest collected no tests" >&2
        return 1
    fi
    return "$ci_status"
}
