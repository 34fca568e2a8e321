// The shared library's own translation unit. Loading it runs the static
// initialisers of the linked parts (error texts, device types, filter table);
// no thread starts at load.
