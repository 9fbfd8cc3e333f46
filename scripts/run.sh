#!/usr/bin/env bash
# The main job is not built yet: the command-line stabiliser and its
# built-in sample arrive later. Say so plainly instead of pretending.
echo "make run: the command-line stabiliser and its built-in sample are not built yet."
echo "Build and test the libraries with: make test"
exit 1
