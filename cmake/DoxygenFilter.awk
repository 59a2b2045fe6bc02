# Hands the public headers to Doxygen, one output line per input line (so
# the line numbers stay as in the file). The headers keep plain // comments:
#  - a comment line becomes a /// line, a comment after a member ///< (and
#    so do the comment lines that go on with it);
#  - a family separator "// ---- Title ----" opens a Doxygen group named
#    Title (its id lustreapi_title, in lower case), the comment lines right below it become the group's text (shown
#    once, whole, above the family's members) and the first line after them opens
#    the group's members; the next separator or the end of the namespace
#    closes it.
function close_group() {
    if (open) { open = 0; return "/** @} */ " }
    return ""
}
/^ *\/\/ ----/ {
    title = $0
    sub(/^ *\/\/ -+ */, "", title)
    sub(/ *-+ *$/, "", title)
    # The group's id names its manual page: lustreapi_binding(3), ...
    id = tolower(title)
    gsub(/[^a-z0-9]+/, "_", id)
    gsub(/^_+|_+$/, "", id)
    id = "lustreapi_" id
    printf "%s/** @defgroup %s %s", close_group(), id, title
    open = 1; intro = 1
    print ""
    next
}
intro && /^ *\/\/( |$)/ {
    line = $0
    sub(/^ *\/\/ ?/, "", line)
    # The family's text is shown whole; no first sentence is cut off as a
    # summary.
    print (intro == 1 && line != "" ? " @details " : " ") line
    if (line != "") intro = 2
    next
}
intro {
    intro = 0
    print " @{ */" $0
    next
}
/^} *\/\/ *namespace/ { print close_group() $0; next }
{
    line = $0
    # A comment line right below a member's trailing comment goes on with it.
    if (line ~ /^ *\/\/( |$)/) sub(/\/\//, trailing ? "///<" : "///", line)
    else if (line ~ /; *\/\/ /) sub(/; *\/\/ /, "; ///< ", line)
    trailing = line ~ /\/\/\/</
    print line
}
