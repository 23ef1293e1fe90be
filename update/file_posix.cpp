// Placeholder: filled in by the work that builds this part.
