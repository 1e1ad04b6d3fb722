"""Vetting of user input before it reaches the inference engine."""
