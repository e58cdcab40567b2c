"""What the figures share: processes, rounds, the payload, the machine."""
