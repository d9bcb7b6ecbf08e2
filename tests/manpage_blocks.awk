# The marked example blocks of a manual page's source, for the tests that run
# them as written. A block is a .nf/.fi pair after a comment line starting
# with `.\" MARKER` (MARKER given as -v marker=...); block N becomes the file
# STEPS/N, its text with the roff escapes an example may use turned back into
# the characters they stand for, and STEPS/N.what, the rest of the comment
# line. STEPS/count holds the number of blocks. A request, an escape not
# handled here or a block left open inside a block fails (exit status 1).
# Usage: awk -v steps=STEPS -v marker=MARKER -f manpage_blocks.awk PAGE
BEGIN { head = ".\\\" " marker }
index($0, head) == 1 { pending = substr($0, length(head) + 1); next }
pending != "" && $0 == ".nf" { n++; block = steps "/" n; print pending > (block ".what")
                               printf "" > block; pending = ""; inside = 1; next }
inside && $0 == ".fi" { close(block); close(block ".what"); inside = 0; next }
inside {
  line = $0
  if (line ~ /^[.\047]/) { print "request inside an example block: " line > "/dev/stderr"; bad = 1 }
  gsub(/\\-/, "-", line); gsub(/\\&/, "", line); gsub(/\\\(aq/, "\047", line)
  gsub(/\\\(dq/, "\"", line)
  rest = line; gsub(/\\e/, "", rest)
  if (index(rest, "\\") > 0) { print "unhandled escape in example: " line > "/dev/stderr"; bad = 1 }
  gsub(/\\e/, "\\", line)
  print line > block
}
END { if (inside) { print "example block not closed" > "/dev/stderr"; bad = 1 }
      print n + 0 > (steps "/count"); exit bad }
