// Time-domain solver library; its sources live beside this file.
