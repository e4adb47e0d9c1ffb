#!/usr/bin/env bash
# The udev rule opens exactly the drives the scan recognises: the same product
# prefixes and vendor prefixes, each on a rule of its own (two keys on one
# rule line would have to match together, a narrower rule than the scan's).
set -euo pipefail
rules=$1
scan=$2

rule_lines() {  # the rules without comments, continued lines joined
  grep -v '^[[:space:]]*#' "$rules" | sed -e ':a' -e '/\\$/N; s/\\\n//; ta'
}
scan_list() {  # field: the prefixes the scan compares that INQUIRY field with
  grep -o "BeginsWith($1, \"[^\"]*\")" "$scan" | sed 's/.*"\(.*\)")/\1/' | sort
}
rule_list() {  # attribute: the prefixes the rules match it with
  rule_lines | grep -o "ATTRS{$1}==\"[^\"]*\"" | sed 's/.*=="\(.*\)"/\1/' |
    tr '|' '\n' | sort
}
fail=0
for pair in product:model vendor:vendor; do
  field=${pair%%:*} attr=${pair##*:}
  want=$(scan_list "$field" | sed 's/$/*/')
  have=$(rule_list "$attr")
  if [ -z "$want" ] || [ "$want" != "$have" ]; then
    echo "ATTRS{$attr} patterns differ from the scan's $field prefixes (< scan, > rule):"
    diff <(echo "$want") <(echo "$have") || true
    fail=1
  fi
done
both=$(rule_lines | grep 'ATTRS{vendor}' | grep 'ATTRS{model}' || true)
if [ -n "$both" ]; then
  echo "a rule asks for vendor and product together, the scan for either:"; echo "$both"; fail=1
fi
[ "$fail" = 0 ] && echo "udev rule and scan agree"
exit "$fail"
