"""Zorv SDK: what a program standing for one Node-RED node needs to know and say."""
