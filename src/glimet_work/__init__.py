"""glimet-work: testing chores for QA engineers.

Import the toolkit through its entry module::

    from glimet_work.duty_main import GlimetWorkMain
"""
