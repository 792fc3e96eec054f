// Placeholder; replaced by the lock probe.
