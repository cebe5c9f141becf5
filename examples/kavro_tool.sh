kavro --sim list
kavro --sim info
kavro --sim params set intg_time=3000
kavro --sim params get intg_time
kavro --sim capture -n 5 -o out
kavro --sim record -n 5 room.raw
kavro convert room.raw -o converted
kavro --replay room.raw capture -n 2 -o replayed
kavro --replay room.raw info
