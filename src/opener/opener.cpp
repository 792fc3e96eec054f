// Placeholder; replaced by the controller.
