"""pytest fixtures that give each test a fresh simulator."""
