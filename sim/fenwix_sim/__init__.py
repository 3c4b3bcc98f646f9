"""Simulator of the fenwix switch's control plane."""
