#!/bin/bash
# The machine a benchmark ran on, as key=value lines (measure.py reads them).
echo "cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)"
echo "cores=$(nproc)"
echo "kernel=$(uname -r)"
echo "os=$(. /etc/os-release && echo "$PRETTY_NAME")"
echo "load=$(cut -d' ' -f1-3 /proc/loadavg)"
