"""Acquisition directories in the self-describing form that instruments write."""
