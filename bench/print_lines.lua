for i = 1, 1000000 do print(i) end
