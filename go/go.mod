module dostrel.dev/dostrel

go 1.19
