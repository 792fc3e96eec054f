// Placeholder; replaced by the request queue.
