# Sourced by the stream benchmarks.
# json_get JSON [OBJECT] KEY: one value from the host's one-line JSON report.
json_get() {
  local json=$1 scope=$1 key
  if [ $# -eq 3 ]; then
    scope=$(grep -o "\"$2\":{[^}]*}" <<<"$json" || true)
    key=$3
  else
    key=$2
  fi
  grep -o "\"$key\":[^,}]*" <<<"$scope" | head -n1 | cut -d: -f2
}
